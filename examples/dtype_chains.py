def prepare_inputs(x: torch.Tensor, mask, index):
    x = orb.astype(x, torch.float32)
    mask = orb.astype(mask, torch.bool)
    index = orb.asarray(index, dtype=torch.int64, requires_grad=False)
    eps = torch.finfo(torch.float32).eps
    return (x, mask, index, eps)
