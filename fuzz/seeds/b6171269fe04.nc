ENDIF without a preceding IF.
