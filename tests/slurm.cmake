# fanrun --shard on a real scheduler: a Slurm job array on the single-node cluster that
# tests/slurm/cluster.sh brings up (.ci/run starts and stops it). Without the cluster the test shows
# as skipped, except under CI=true, where it fails.
add_test(NAME slurm.shards
  COMMAND bash "${CMAKE_CURRENT_SOURCE_DIR}/slurm/shards_test.sh" $<TARGET_FILE:fanrun_cli>)
# Serial: the cluster's node is this machine, and the array's tasks take all of its processors.
set_tests_properties(slurm.shards PROPERTIES RUN_SERIAL ON TIMEOUT 300 SKIP_RETURN_CODE 77)
