kestrava_add_test(vici_codec_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/vici_codec_test.cpp LABELS unit)
kestrava_add_test(strongswan_mapping_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/strongswan_mapping_test.cpp LABELS unit)
kestrava_add_test(strongswan_tunnel_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/strongswan_tunnel_test.cpp LABELS tunnel)
target_compile_definitions(strongswan_tunnel_test PRIVATE KESTRAVA_NETNS_DIR="${CMAKE_CURRENT_LIST_DIR}/netns")
