# cv_add_manpage(NAME COMPONENT <component>
#                MARKDOWN <file.md> | HELP2MAN <program target> SUMMARY <text>)
# Builds the section-1 manual page NAME.1.gz at build time from its one
# source, so that it never drifts from the program: a Markdown page with
# pandoc (its level-1 heading is the title, level-2 headings the sections),
# or the program's own --help with help2man. Installs it under man1 in
# COMPONENT. Without the tool the page is left out with a warning.
find_program(CV_PANDOC pandoc)
find_program(CV_HELP2MAN help2man)
find_program(CV_GZIP gzip)

function(cv_add_manpage name)
  cmake_parse_arguments(M "" "COMPONENT;MARKDOWN;HELP2MAN;SUMMARY" "" ${ARGN})
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/man)
  set(page ${dir}/${name}.1)
  set(footer "cv4870 ${PROJECT_VERSION}")
  set(manual "Ostrel 4870 tools")
  if(M_MARKDOWN)
    if(NOT CV_PANDOC OR NOT CV_GZIP)
      message(WARNING "pandoc or gzip not found: no manual page for ${name} (scripts/setup-deps.sh package)")
      return()
    endif()
    add_custom_command(
      OUTPUT ${page}.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
      COMMAND ${CV_PANDOC} -s -t man --shift-heading-level-by=-1 -M title=${name} -M section=1
              -M "header=${manual}" -M "footer=${footer}" -o ${page} ${M_MARKDOWN}
      COMMAND ${CV_GZIP} -9nf ${page}
      DEPENDS ${M_MARKDOWN}
      COMMENT "Manual page ${name}(1) from ${M_MARKDOWN}"
      VERBATIM)
  elseif(M_HELP2MAN)
    if(NOT CV_HELP2MAN OR NOT CV_GZIP)
      message(WARNING "help2man or gzip not found: no manual page for ${name} (scripts/setup-deps.sh package)")
      return()
    endif()
    add_custom_command(
      OUTPUT ${page}.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
      COMMAND ${CMAKE_COMMAND} -E env ASAN_OPTIONS=detect_leaks=0
              ${CV_HELP2MAN} --no-info --no-discard-stderr --section=1 --version-string=${PROJECT_VERSION}
              "--name=${M_SUMMARY}" "--source=${footer}" "--manual=${manual}" --output=${page}
              $<TARGET_FILE:${M_HELP2MAN}>
      COMMAND ${CV_GZIP} -9nf ${page}
      DEPENDS ${M_HELP2MAN}
      COMMENT "Manual page ${name}(1) from ${name} --help"
      VERBATIM)
  else()
    message(FATAL_ERROR "cv_add_manpage(${name}): MARKDOWN or HELP2MAN is needed")
  endif()
  add_custom_target(man_${name} ALL DEPENDS ${page}.gz)
  install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${M_COMPONENT})
endfunction()
