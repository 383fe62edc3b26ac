; Rectangular pocket 40 x 30 mm with rounded corners, cut in depth passes.
; R1 depth per pass, R2 final depth, R3 corner radius, R4 current depth
N10 G17 G90 G71
N20 T="FLAT_D10" M6
N30 R1=1.5 R2=4.5 R3=5 R4=0
N40 TRANS X20 Y10 ; pocket origin on the part
N50 G0 X0 Y5 Z2 S3000 M3
N60 WHILE R4 < R2
N70 R4=R4+R1
N80 G1 Z=-R4 F150
N90 G1 Y25 F600
N100 G2 X5 Y30 I=R3 J0
N110 G1 X35
N120 G2 X40 Y25 I0 J=-R3
N130 G1 Y5
N140 G2 X35 Y0 I=-R3 J0
N150 G1 X5
N160 G2 X0 Y5 I0 J=R3
N170 ENDWHILE
N180 G0 Z10
N190 TRANS
N200 M5 M30
