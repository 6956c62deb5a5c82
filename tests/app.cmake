# The application frame: start-up, options dialog, main window, companions.
add_executable(lumora-test-idle support/IdleMain.cpp)
target_link_libraries(lumora-test-idle PRIVATE Qt6::Core)

add_library(lumora_test_widgets STATIC support/Widgets.cpp)
target_link_libraries(lumora_test_widgets PUBLIC lumora_test_support lumora_app Qt6::Widgets)

lumora_add_test(tst_companions SOURCES tst_companions.cpp LIBS lumora_test_widgets DEPENDS lumora-test-idle)
lumora_add_test(tst_startup SOURCES tst_startup.cpp LIBS lumora_test_widgets DEPENDS lumora-test-idle lumora-mkdb)
lumora_add_test(tst_smallscreen SOURCES tst_smallscreen.cpp LIBS lumora_test_widgets)
lumora_add_test(tst_optionform SOURCES tst_optionform.cpp LIBS lumora_test_widgets DEPENDS lumora-mkdb)
lumora_add_test(tst_mainform SOURCES tst_mainform.cpp LIBS lumora_test_widgets DEPENDS lumora-mkdb lumora-test-idle)
