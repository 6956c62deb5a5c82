# The image store's removal routines.
lumora_add_test(tst_deletion SOURCES tst_deletion.cpp LIBS lumora_store lumora_test_widgets DEPENDS lumora-mkdb)
