# Toolkit boundary and viewer control.
lumora_add_test(tst_toolkit SOURCES tst_toolkit.cpp LIBS lumora_dicom lumora_synthetic)

# An image store filled as the receiver fills it, for browser tests and benchmarks.
add_library(lumora_test_imagestore STATIC toolkit/ImageStoreFixture.cpp)
target_include_directories(lumora_test_imagestore PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(lumora_test_imagestore PUBLIC lumora_store lumora_synthetic)


# The browser and viewer in a window, for benchmarks and screenshots.
add_library(lumora_test_browserwindow STATIC toolkit/BrowserWindow.cpp)
target_include_directories(lumora_test_browserwindow PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(lumora_test_browserwindow PUBLIC lumora_browse lumora_test_imagestore)

add_executable(lumora-viewer-demo toolkit/ViewerDemo.cpp)
target_link_libraries(lumora-viewer-demo PRIVATE lumora_test_browserwindow Qt6::Test)
set_target_properties(lumora-viewer-demo PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${LUMORA_TOOLS_DIR})

lumora_add_test(tst_browser SOURCES tst_browser.cpp LIBS lumora_test_browserwindow DEPENDS lumora-mkdb)
