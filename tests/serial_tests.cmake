# Tests that run alone. They judge a real sound server's timing block by block (a steady tone
# through it, the rate of a stream's or the graph's callbacks): beside the rest of the suite the
# server itself misses cycles.
set_tests_properties(
  "engine.PipewireEngineThreads.SteadyToneCrossesFromInputToOutputWithoutABreak"
  "platform.PipewireDevicesThreads.BoundDeviceRunsAt48kHzWithTheBufferSizeAsked"
  "platform.PipewireDriverNodesThreads.TheMixersDriverDevicesRunOnTheGraphsClock"
  PROPERTIES RUN_SERIAL TRUE)
