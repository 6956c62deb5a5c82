# Storage partners and sending.
lumora_add_test(tst_partners SOURCES tst_partners.cpp LIBS lumora_test_widgets lumora_network DEPENDS lumora-mkdb)
