kestrava_add_test(vpn_controller_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/vpn_controller_test.cpp LABELS unit)
