kestrava_add_test(vici_codec_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/vici_codec_test.cpp LABELS unit)
kestrava_add_test(strongswan_mapping_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/strongswan_mapping_test.cpp LABELS unit)
