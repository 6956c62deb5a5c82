# Storage partners and sending.
lumora_add_test(tst_partners SOURCES tst_partners.cpp LIBS lumora_test_widgets lumora_network DEPENDS lumora-mkdb)
lumora_add_test(tst_association SOURCES tst_association.cpp LIBS lumora_dicom_net lumora_synthetic lumora_test_support Qt6::Network TIMEOUT 180)
add_library(lumora_send_fixture STATIC network/SendFixture.cpp)
target_link_libraries(lumora_send_fixture PUBLIC lumora_network lumora_synthetic lumora_test_support lumora_test_widgets Qt6::Widgets)

lumora_add_test(tst_send SOURCES tst_send.cpp LIBS lumora_send_fixture lumora_network lumora_synthetic lumora_test_widgets Qt6::Network DEPENDS lumora-mkdb TIMEOUT 240)
lumora_add_test(tst_send_orthanc SOURCES tst_send_orthanc.cpp LIBS lumora_send_fixture lumora_network lumora_synthetic lumora_test_widgets Qt6::Network DEPENDS lumora-mkdb TIMEOUT 300)
