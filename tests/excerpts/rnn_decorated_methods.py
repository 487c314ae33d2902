# From torch 2.13.0, torch/nn/utils/rnn.py (BSD-3-Clause licence), shortened.
# A rewrite inside the decorator of a method.
class PackedSequence(PackedSequence_):
    @copy_method_params(torch.Tensor.cuda)
    def cuda(self, *args: Any, **kwargs: Any) -> Self:
        # Tests to see if 'cuda' should be added to kwargs
        ex = torch.tensor((), dtype=self.data.dtype, device=self.data.device).to(
            *args, **kwargs
        )
        if ex.is_cuda:
            return self.to(*args, **kwargs)
        kwargs["device"] = "cuda"
        return self.to(*args, **kwargs)

    @copy_method_params(torch.Tensor.cpu)
    def cpu(self, *args: Any, **kwargs: Any) -> Self:
        pass
