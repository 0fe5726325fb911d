# Registers every *_test.cpp of the calling folder as one test program.
# Files named *_ui_test.cpp link the windows layer; the others link FOLDER_LIBS.
function(korvane_folder_tests)
  cmake_parse_arguments(A "" "" "LIBS;UI_LIBS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
  foreach(src ${srcs})
    get_filename_component(name ${src} NAME_WE)
    if(name MATCHES "_ui_test$")
      korvane_add_test(${name} SOURCES ${src} LIBS korvane_ui ${A_UI_LIBS})
    else()
      korvane_add_test(${name} SOURCES ${src} LIBS ${A_LIBS})
    endif()
  endforeach()
endfunction()
