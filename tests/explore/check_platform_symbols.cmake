# The controlled platform defines every symbol of the shipped platform's interface, so that
# the shipped library binary loads on it unchanged, and adds only what it takes over from the
# C library for the program (thread creation, naming and join, sleeps), the hook through which
# the simulated engine finds its clock, and the functions of schedules a program runs itself
# (pvgen_controlled.h).
#   cmake -DNM=nm -DSHIPPED=a.so -DCONTROLLED=b.so -P check_platform_symbols.cmake
# Names are compared mangled. Instantiations of the standard library's templates are left
# out (std, its allocator, __gnu_cxx): each build emits those it happens to use (a debug
# build many more), and no program links against them.
foreach(v NM SHIPPED CONTROLLED)
  if(NOT DEFINED ${v})
    message(FATAL_ERROR "check_platform_symbols.cmake: ${v} not set")
  endif()
endforeach()

function(interface_symbols library out)
  execute_process(COMMAND ${NM} -D --defined-only ${library}
                  OUTPUT_VARIABLE nm_out ERROR_VARIABLE nm_err RESULT_VARIABLE nm_rc)
  if(NOT nm_rc EQUAL 0)
    message(FATAL_ERROR "${NM} failed on ${library}: ${nm_err}")
  endif()
  string(REPLACE "\n" ";" nm_lines "${nm_out}")
  set(names "")
  foreach(line IN LISTS nm_lines)
    if(line MATCHES "^[0-9a-fA-F]+ [A-Za-z] (.+)$")
      set(name "${CMAKE_MATCH_1}")
      if(NOT name MATCHES "^_Z(N|NK|Z|ZN|TV|TI|TS)?(St|Sa|Sb|Ss|9__gnu_cxx)" AND NOT name MATCHES "^_ZSt")
        list(APPEND names "${name}")
      endif()
    endif()
  endforeach()
  list(REMOVE_DUPLICATES names)
  set(${out} ${names} PARENT_SCOPE)
endfunction()

interface_symbols(${SHIPPED} shipped)
interface_symbols(${CONTROLLED} controlled)
set(added clock_nanosleep nanosleep pthread_create pthread_join pthread_setname_np
          pvgen_sim_clock_hooks_in_force sleep usleep pvgen_controlled_begin pvgen_controlled_end
          pvgen_controlled_now pvgen_controlled_watch pvgen_controlled_on_failure
          Quorl_cnv_pvgen_get_page_id Quorl_cnv_pvgen_prepare Quorl_cnv_pvgen_page_start
          Quorl_cnv_pvgen_band_exe Quorl_cnv_pvgen_stop
          _ZN7norvane23quorl_cnv_pvgen_control7releaseEv)

set(missing ${shipped})
list(REMOVE_ITEM missing ${controlled})
set(extra ${controlled})
list(REMOVE_ITEM extra ${shipped} ${added})
set(absent ${added})
list(REMOVE_ITEM absent ${controlled})
if(missing OR extra OR absent)
  message(FATAL_ERROR "controlled platform symbols differ:\n  missing: ${missing}\n"
                      "  unexpected: ${extra}\n  not taken over: ${absent}")
endif()
list(LENGTH shipped n)
message(STATUS "controlled platform defines all ${n} interface symbols of the shipped one")
