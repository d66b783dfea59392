# Fails when a file under src/ui includes a POSIX or Linux header, so that a Windows build of the
# app needs nothing but Qt: what the app needs of the system goes through src/platform.
#   cmake -DUI_DIR=src/ui -P tests/windows/ui_headers.cmake
# The includes listed in `still_to_move` are the ones not yet moved into the platform layer; the
# list only shrinks.
set(system_headers unistd.h fcntl.h signal.h poll.h termios.h dirent.h pwd.h grp.h elf.h dlfcn.h
    pthread.h netdb.h spawn.h)
set(still_to_move "guiseams.cpp:fcntl.h" "guiseams.cpp:unistd.h" "main.cpp:fcntl.h" "main.cpp:signal.h"
    "main.cpp:unistd.h" "versionreader.cpp:elf.h")
file(GLOB files ${UI_DIR}/*.cpp ${UI_DIR}/*.h ${UI_DIR}/*.in)
set(found "")
foreach(f ${files})
  get_filename_component(name ${f} NAME)
  file(STRINGS ${f} includes REGEX "^[ \t]*#[ \t]*include[ \t]*<")
  foreach(line ${includes})
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*<([^>]+)>.*" "\\1" header "${line}")
    list(FIND system_headers ${header} plain)
    if(plain GREATER -1 OR header MATCHES "^(sys|linux|netinet|arpa|asm)/")
      list(FIND still_to_move "${name}:${header}" known)
      if(known EQUAL -1)
        list(APPEND found "${name} includes <${header}>")
      endif()
    endif()
  endforeach()
endforeach()
if(found)
  list(JOIN found "\n  " text)
  message(FATAL_ERROR "POSIX or Linux headers under src/ui (move the calls into src/platform):\n  ${text}")
endif()
message(STATUS "src/ui includes no new POSIX or Linux header")
