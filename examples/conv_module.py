class Conv2d(torch.nn.Module):

    def __init__(self, in_channels, out_channels, kernel_size, groups=1):
        self.in_channels = in_channels
        self.weight = nn.Parameter(orb_empty((out_channels, (in_channels // groups), kernel_size, kernel_size)))
        self.bias = torch.nn.Parameter(orb.Array(out_channels, requires_grad=True))
        self.scale = np.log2(8)
        self.mixing = np.zeros((channels, channels))

    def forward(self, x: torch.Tensor) -> Tensor:
        y = orb.conv2d(x, self.weight, data_format='NCHW', filter_format='channel_first')
        orb.inplace_update(self.bias, (self.bias * 2))
        return (y + self.orb_array.dtype)
