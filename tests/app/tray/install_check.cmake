# Installs the build into a fresh prefix and checks what a user's desktop needs from it:
# both executables, the desktop entry naming the installed tray app (and its pairing action),
# and the icon.
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD}" --prefix "${PREFIX}"
                RESULT_VARIABLE status OUTPUT_QUIET)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${status}")
endif()
foreach(file bin/lumenbrook bin/lumenbrook-host share/applications/lumenbrook.desktop
             share/icons/hicolor/scalable/apps/lumenbrook.svg)
  if(NOT EXISTS "${PREFIX}/${file}")
    message(FATAL_ERROR "not installed: ${file}")
  endif()
endforeach()
file(READ "${PREFIX}/share/applications/lumenbrook.desktop" entry)
foreach(line "Exec=${PREFIX}/bin/lumenbrook\n" "Exec=${PREFIX}/bin/lumenbrook --pair\n"
             "Icon=lumenbrook\n" "[Desktop Action pair]\n")
  string(FIND "${entry}" "${line}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "the desktop entry lacks ${line}")
  endif()
endforeach()
file(REMOVE_RECURSE "${PREFIX}")
