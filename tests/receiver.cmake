# The companion receiver and data manager, tested as the processes they are.
add_library(lumora_receiver_harness STATIC receiver/ReceiverHarness.cpp)
target_link_libraries(lumora_receiver_harness PUBLIC lumora_test_support lumora_store lumora_synthetic)

lumora_add_test(tst_receiver SOURCES tst_receiver.cpp LIBS lumora_receiver_harness
  DEPENDS LumoraReceiver lumora-mkdb TIMEOUT 400)
lumora_add_test(tst_receiver_store SOURCES tst_receiver_store.cpp LIBS lumora_receiver lumora_receiver_harness
  DEPENDS lumora-mkdb TIMEOUT 120)
lumora_add_test(tst_datamgr SOURCES tst_datamgr.cpp LIBS lumora_datamgr lumora_receiver_harness
  DEPENDS LumoraDataMgr lumora-mkdb TIMEOUT 120)
lumora_add_test(tst_receiver_diskfull SOURCES tst_receiver_diskfull.cpp LIBS lumora_receiver_harness
  DEPENDS LumoraReceiver lumora-mkdb TIMEOUT 120)
