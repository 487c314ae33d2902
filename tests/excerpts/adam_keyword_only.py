# From torch 2.13.0, torch/optim/adam.py (BSD-3-Clause licence), shortened.
# Rewrites in the annotations of keyword-only arguments.
def _single_tensor_adam(
    params: list[Tensor],
    grads: list[Tensor],
    grad_scale: Tensor | None,
    found_inf: Tensor | None,
    *,
    amsgrad: bool,
    beta1: float | Tensor,
    beta2: float | Tensor,
    lr: float | Tensor,
    weight_decay: float,
) -> None:
    if grad_scale is not None or found_inf is not None:
        raise AssertionError("Expected grad_scale and found_inf to be None")
