Moves child `index` out of an exported struct, as a consumer that takes
    only that child does: the caller owns the returned copies and the parent's
    entries are marked released.