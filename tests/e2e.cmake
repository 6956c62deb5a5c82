# The whole workstation under Xvfb: serial exposures, received images, merge and send.
lumora_add_test(tst_workstation_e2e SOURCES tst_workstation_e2e.cpp LIBS lumora_receiver_harness lumora_store
  DEPENDS OrvanaMammo LumoraReceiver lumora-mkdb lumora-synth TIMEOUT 300)
