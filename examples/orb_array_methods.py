def reshape(self, *shape, copy=None):
    return orb.reshape(self.orb_array, shape, copy=copy)

def softmax(self, dim=None, dtype=None):
    if dtype:
        return orb.softmax(self.orb_array.astype(dtype), axis=dim)
    return orb.softmax(self.orb_array, axis=dim)

def add_(self, other, *, alpha=1):
    orb.inplace_update(self, (self.orb_array + (alpha * other)))
    return self

def type_as(self, other: Tensor):
    return self.orb_array.astype(other.dtype)
