lbl_1:endif
