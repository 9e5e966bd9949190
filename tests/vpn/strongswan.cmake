kestrava_add_test(vici_codec_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/vici_codec_test.cpp LABELS unit)
kestrava_add_test(strongswan_facility_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/strongswan_facility_test.cpp LABELS unit)
kestrava_add_test(strongswan_mapping_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/strongswan_mapping_test.cpp LABELS unit)
kestrava_add_test(strongswan_tunnel_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/strongswan_tunnel_test.cpp LABELS tunnel)
target_compile_definitions(strongswan_tunnel_test PRIVATE KESTRAVA_NETNS_DIR="${CMAKE_CURRENT_LIST_DIR}/netns")
# Not a test: netns/measure-connect.sh runs it to time connects against swanctl.
add_executable(kestrava-connect-timer ${CMAKE_CURRENT_LIST_DIR}/netns/connect_timer.cpp)
target_link_libraries(kestrava-connect-timer PRIVATE kestrava_core)
