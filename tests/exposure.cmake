# Exposure capture: decoders (no window), dose list and the serial link through a pty pair.
lumora_add_test(tst_exposure_decoders SOURCES tst_exposure_decoders.cpp LIBS lumora_exposure_decoders)
lumora_add_test(tst_exposure_doselist SOURCES tst_exposure_doselist.cpp LIBS lumora_exposure Qt6::Test)
target_include_directories(tst_exposure_doselist PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
lumora_add_test(tst_exposure_serial SOURCES tst_exposure_serial.cpp LIBS lumora_exposure Qt6::Test TIMEOUT 180)
target_include_directories(tst_exposure_serial PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
