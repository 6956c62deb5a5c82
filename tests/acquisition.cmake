# Viewer paging, selection and display operations.
lumora_add_test(tst_viewer SOURCES tst_viewer.cpp LIBS lumora_acquisition lumora_synthetic)
