Warning [line 4]: G91 incremental dimensioning is not interpreted - axis values are emitted as absolute positions and will be wrong from this block on
