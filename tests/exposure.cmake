# Exposure capture: decoders (no window), dose list and the serial link through a pty pair.
lumora_add_test(tst_exposure_decoders SOURCES tst_exposure_decoders.cpp LIBS lumora_exposure_decoders)
