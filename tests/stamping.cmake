# Projection assignment and header stamping.
lumora_add_test(tst_stamping SOURCES tst_stamping.cpp LIBS lumora_stamping lumora_synthetic lumora_test_support)
