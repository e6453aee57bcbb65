# Short pvgen-stress runs: several threads, stops from another thread, engine faults and
# restarts of the library, each with its own seed. Host and ThreadSanitizer builds only:
# under the emulator the runs would take minutes, and AddressSanitizer adds nothing the
# suites above do not already cover for these paths.
if(CMAKE_CROSSCOMPILING OR PVGEN_SANITIZE STREQUAL "address")
  return()
endif()

# pvgen_add_stress(NAME ARGS...): one run; any violation (exit 1) or stall (exit 3) fails it.
function(pvgen_add_stress name)
  add_test(NAME stress.${name}
           COMMAND pvgen-stress --quiet --watchdog 10 ${ARGN})
  set_tests_properties(stress.${name} PROPERTIES LABELS "stress" TIMEOUT 90)
endfunction()

# An engine slower than the watchdog's time: calls and callbacks take longer than the
# watchdog's seconds by the engine's time alone, which must not count as a stall.
pvgen_add_stress(slow_engine --threads 1 --pages 1 --bands 2 --band-time 1200ms --watchdog 1
                 --sync 50)

if(PVGEN_SANITIZE STREQUAL "thread")
  # About five seconds each under the sanitizer.
  pvgen_add_stress(plain.seed11 --threads 4 --pages 200 --bands 40 --phases 2 --seed 11)
  pvgen_add_stress(stopper.seed12 --threads 3 --pages 400 --bands 40 --stopper --seed 12)
  pvgen_add_stress(faults.seed13 --threads 3 --pages 200 --bands 40 --faults --phases 2
                   --band-time 10us --seed 13)
  pvgen_add_stress(classes.seed14 --threads 3 --pages 200 --bands 40 --stopper --classes
                   --faults --seed 14)
else()
  # A few seconds each.
  pvgen_add_stress(plain.seed1 --threads 4 --pages 300 --bands 100 --phases 2 --seed 1)
  pvgen_add_stress(stopper.seed2 --threads 4 --pages 500 --bands 100 --stopper --seed 2)
  pvgen_add_stress(faults.seed3 --threads 4 --pages 300 --bands 100 --faults --phases 3
                   --band-time 5us --seed 3)
  pvgen_add_stress(all.seed4 --threads 4 --pages 400 --bands 100 --stopper --faults
                   --phases 2 --seed 4)
  # Requests listed through the class operations beside the C calls.
  pvgen_add_stress(classes.seed5 --threads 4 --pages 400 --bands 60 --stopper --classes
                   --phases 2 --seed 5)
  pvgen_add_stress(classes.seed6 --threads 3 --pages 300 --bands 60 --stopper --classes
                   --faults --band-time 5us --seed 6)
endif()
