# Toolkit boundary and viewer control.
lumora_add_test(tst_toolkit SOURCES tst_toolkit.cpp LIBS lumora_dicom lumora_synthetic)
