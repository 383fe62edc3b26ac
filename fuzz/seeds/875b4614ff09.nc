Warning: 'X10Y20' (line 3) is interpreted as a subprogram call; did you mean one or more axis words (e.g. Y20)?
