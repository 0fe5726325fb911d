# Help content and the help project map, included from the top-level CMakeLists.txt
# after the korvane target exists.
#
# 1. The help project text (help/content/Korvane_Help.hhp) is built into korvane_appcore:
#    context numbers are mapped to pages from its [MAP] and [ALIAS] at run time.
# 2. The compiled help file Korvane_Help.chm is made with chmcmd (Debian package fp-utils)
#    next to the korvane executable; korvane depends on it.

set(KORVANE_HELP_CONTENT ${PROJECT_SOURCE_DIR}/help/content)
set(KORVANE_HELP_PROJECT ${KORVANE_HELP_CONTENT}/Korvane_Help.hhp)

# --- 1. The project text as a C++ string ------------------------------------------------
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${KORVANE_HELP_PROJECT})
file(READ ${KORVANE_HELP_PROJECT} _korvane_hhp_text)
set(_korvane_hhp_cpp ${PROJECT_BINARY_DIR}/generated/help_project_text.cpp)
file(WRITE ${_korvane_hhp_cpp}.tmp
  "// Generated from help/content/Korvane_Help.hhp by help/help.cmake. Do not edit.\n"
  "namespace korvane {\n"
  "extern const char kKorvaneHelpProjectText[];\n"
  "const char kKorvaneHelpProjectText[] = R\"khp(${_korvane_hhp_text})khp\";\n"
  "} // namespace korvane\n")
file(COPY_FILE ${_korvane_hhp_cpp}.tmp ${_korvane_hhp_cpp} ONLY_IF_DIFFERENT)
target_sources(korvane_appcore PRIVATE ${_korvane_hhp_cpp})
# The version shown in the diagnostic log's header.
set_source_files_properties(${PROJECT_SOURCE_DIR}/help/core/startup_probe.cpp
  PROPERTIES COMPILE_DEFINITIONS KORVANE_VERSION="${PROJECT_VERSION}")

# --- 2. Korvane_Help.chm ------------------------------------------------------------------
find_program(KORVANE_CHMCMD chmcmd)
if(KORVANE_CHMCMD)
  file(GLOB _korvane_help_sources CONFIGURE_DEPENDS ${KORVANE_HELP_CONTENT}/*)
  set(_korvane_help_work ${PROJECT_BINARY_DIR}/help_chm)
  set(KORVANE_HELP_CHM ${PROJECT_BINARY_DIR}/Korvane_Help.chm)
  # chmcmd writes next to its working folder: compile a copy, so the source tree stays clean.
  add_custom_command(OUTPUT ${KORVANE_HELP_CHM}
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${_korvane_help_work}
    COMMAND ${CMAKE_COMMAND} -E copy_directory ${KORVANE_HELP_CONTENT} ${_korvane_help_work}
    COMMAND ${CMAKE_COMMAND} -E chdir ${_korvane_help_work} ${KORVANE_CHMCMD} --no-html-scan Korvane_Help.hhp
    COMMAND ${CMAKE_COMMAND} -E copy ${_korvane_help_work}/Korvane_Help.chm ${KORVANE_HELP_CHM}
    DEPENDS ${_korvane_help_sources}
    COMMENT "Compiling the help file Korvane_Help.chm"
    VERBATIM)
  add_custom_target(korvane_help_chm DEPENDS ${KORVANE_HELP_CHM})
  add_dependencies(korvane korvane_help_chm)
else()
  message(WARNING "chmcmd (package fp-utils) not found: Korvane_Help.chm is not built")
endif()
