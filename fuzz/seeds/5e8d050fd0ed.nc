;only a comment
X1 ; after
 N5 ;block number and comment
;
