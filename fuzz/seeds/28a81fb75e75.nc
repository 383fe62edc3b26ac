R1=1 ; ENDIF in a comment
