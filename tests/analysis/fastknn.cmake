kel_add_test(NAME fastknn_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/fastknn_test.cpp LIBS kel_fastknn orv::util)
