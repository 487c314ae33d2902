"""Generated trees of the shape the translator emits, at a chosen size."""
import gast

_CLASS = '''
class Conv{i}(torch.nn.Module):
    def __init__(self, in_channels, out_channels, kernel_size, groups=1):
        self.in_channels = in_channels
        self.weight = nn.Parameter(orb_empty((in_channels, out_channels // groups, kernel_size, kernel_size)))
        self.bias = orb.Array(orb_empty((out_channels,)), requires_grad=True)
        self.scale = np.log2(8)
        self.mix = np.zeros((channels, channels))
        self.dtype = torch.float32

    def forward(self, x: torch.Tensor, w: Tensor = None) -> torch.Tensor:
        y = orb.conv2d(x, self.weight, stride=self.stride, data_format="NCHW", filter_format="channel_first")
        orb.inplace_update(self.bias, self.bias * {i})
        z = orb.matmul(y, self.orb_array, transpose_b=True)
        return orb.add(z, self.bias.orb_array) + helper_{i}(y, axis=-1, keepdims=False)
'''


def source(n_classes):
    return "".join(_CLASS.format(i=i) for i in range(n_classes))


def count_nodes(tree):
    return sum(1 for _ in gast.walk(tree))


def classes_for(target_nodes):
    """How many classes make a tree of about `target_nodes` nodes."""
    per_class = count_nodes(gast.parse(source(1)))
    return max(1, round(target_nodes / per_class))


DTYPE_MAPPING = {"torch.float32": "orb.float32", "torch.int64": "orb.int64"}
CONV_NAME = "torch.nn.modules.conv._ConvNd"
