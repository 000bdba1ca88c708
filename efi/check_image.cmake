# Post-link check of a PE32+ image: no object may carry dynamic initializers
# (.CRT$XC*/.CRT$XI*, which lld-link would merge into .rdata unseen) or
# thread-local data. The firmware runs neither, so such an image is deleted and
# the build fails. Called with -DIMAGE= -DOBJECT_LIST= -DOBJDUMP=.

file(STRINGS ${OBJECT_LIST} objects)
execute_process(COMMAND ${OBJDUMP} -h ${objects}
                OUTPUT_VARIABLE sections RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  file(REMOVE ${IMAGE})
  message(FATAL_ERROR "${OBJDUMP} failed: ${err}")
endif()

set(bad "")
set(current "")
string(REPLACE "\n" ";" lines "${sections}")
foreach(line ${lines})
  if(line MATCHES "^(.+):[ \t]+file format")
    set(current ${CMAKE_MATCH_1})
  elseif(line MATCHES "^ *[0-9]+ (\\.CRT[^ ]*|\\.tls[^ ]*|\\.ctors[^ ]*|\\.init_array[^ ]*)")
    list(APPEND bad "${current}: ${CMAKE_MATCH_1}")
  endif()
endforeach()

if(bad)
  file(REMOVE ${IMAGE})
  list(JOIN bad "\n  " report)
  message(FATAL_ERROR "global constructors or thread-local data in the EFI image:\n  ${report}")
endif()
