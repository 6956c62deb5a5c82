# The whole workstation under Xvfb: serial exposures, received images, merge and send.
lumora_add_test(tst_workstation_e2e SOURCES tst_workstation_e2e.cpp LIBS lumora_receiver_harness lumora_store
  DEPENDS OrvanaMammo LumoraReceiver lumora-mkdb lumora-synth TIMEOUT 300)
# The main window with every subsystem attached, offscreen: merge commands per unit type.
lumora_add_test(tst_workstation SOURCES tst_workstation.cpp LIBS lumora_workstation lumora_synthetic lumora_test_widgets Qt6::Network
  DEPENDS lumora-mkdb TIMEOUT 240)
