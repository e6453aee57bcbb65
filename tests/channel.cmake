# The hardware channel class against the simulated engine: command bytes, states, failing
# driver calls, the worker's reports, and lock order under load.
pvgen_add_test(channel_test SOURCES channel_test.cpp
               LIBS quorlcnvpvgen_internal pvgen_platform pvgen_sim)
