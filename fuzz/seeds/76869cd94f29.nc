first

third
last