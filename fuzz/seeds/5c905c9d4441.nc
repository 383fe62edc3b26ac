IF R1==1 ; GOTOF hidden in the comment
ENDIF
