kestrava_add_test(vici_codec_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/vici_codec_test.cpp LABELS unit)
