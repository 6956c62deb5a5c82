# Toolkit boundary and viewer control.
lumora_add_test(tst_toolkit SOURCES tst_toolkit.cpp LIBS lumora_dicom lumora_synthetic)

# An image store filled as the receiver fills it, for browser tests and benchmarks.
add_library(lumora_test_imagestore STATIC toolkit/ImageStoreFixture.cpp)
target_include_directories(lumora_test_imagestore PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(lumora_test_imagestore PUBLIC lumora_store lumora_synthetic)

lumora_add_test(tst_browser SOURCES tst_browser.cpp LIBS lumora_browser lumora_test_imagestore DEPENDS lumora-mkdb)
