# The fast neighbour search. Each kernel file gets its own instruction-set
# flags; everything else stays baseline x86-64 and picks a kernel at run time.
add_library(kel_fastknn STATIC
  ${CMAKE_CURRENT_LIST_DIR}/fastknn.cpp
  ${CMAKE_CURRENT_LIST_DIR}/kernel_scalar.cpp
  ${CMAKE_CURRENT_LIST_DIR}/kernel_avx2.cpp
  ${CMAKE_CURRENT_LIST_DIR}/kernel_avx512.cpp
)
set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/kernel_avx2.cpp
  PROPERTIES COMPILE_OPTIONS "-mavx2")
set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/kernel_avx512.cpp
  PROPERTIES COMPILE_OPTIONS "-mavx512f")
target_include_directories(kel_fastknn PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(kel_fastknn PUBLIC orv::util Threads::Threads)
