# From torch 2.13.0, torch/nn/modules/rnn.py (BSD-3-Clause licence), shortened.
# Rewrites inside f-strings written as several literals with comments between them.
class RNNBase(Module):
    def check_input(self, input: Tensor, batch_sizes: Tensor | None) -> None:
        if not torch.jit.is_scripting():
            if (
                input.dtype != self._flat_weights[0].dtype  # type: ignore[union-attr]
                and not torch._C._is_any_autocast_enabled()
            ):
                raise ValueError(
                    f"RNN input dtype ({input.dtype}) does not match weight dtype ({self._flat_weights[0].dtype}). "  # type: ignore[union-attr]
                    f"Convert input: input.to({self._flat_weights[0].dtype}), or convert model: model.to({input.dtype})"  # type: ignore[union-attr]
                )
