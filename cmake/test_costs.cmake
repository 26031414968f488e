# Read by CTest after the test programs have listed their cases. The slow cases
# (seconds measured on an 8-core machine) get a cost, so that a run without
# timings of its own (a clean clone) starts them first and no long case starts
# last; once CTest has its own record of a build (Testing/Temporary), that counts.
# Each of them holds the prefix's machine-state mutex for most of its run: CTest
# runs them one at a time, else, started together, each one's time holds the
# others' turns and runs into the time limit.
set(_tarvo_costs
  installer_tests.EngineContextTest.CurrentContextFollowsVmidElseTheInstalledEngine 156
  installer_tests.EngineContextTest.LaunchStartsThePlayerOrRaisesIt 120
  installer_tests.EngineContextTest.RegistryHoldsVBoxThenQvAndFindsExactNames 120
  installer_tests.SampleChannelDownloadTest.BothEnginesDownloadFromTheSampleChannel 108
  app_tests.StartupDriverTest.ExitCodesOfEveryKindOfReturn 107
  installer_tests.DownloadDriverTest.QvFetchesEverythingInOrderAndRecordsIt 90
  installer_tests.DownloadDriverTest.VBoxUpgradesAnOlderPlayerAndPingsTheMarket 80
  installer_tests.DownloadDriverTest.NeedTableDecidesBetweenABatchAndNothingNewer 100
  installer_tests.DownloadDriverTest.FailedRunsKeepTheIniAndSayWhy 90
  installer_tests.DownloadDriverTest.StallAndUnboundLibraryFailWithinTheirLimits 80
)
list(LENGTH _tarvo_costs _n)
math(EXPR _last "${_n} - 1")
foreach(_i RANGE 0 ${_last} 2)
  math(EXPR _j "${_i} + 1")
  list(GET _tarvo_costs ${_i} _name)
  list(GET _tarvo_costs ${_j} _cost)
  # A name that is not in this build (a filtered or renamed case) is ignored.
  set_tests_properties(${_name} PROPERTIES COST ${_cost} RESOURCE_LOCK machine_state)
endforeach()

# These look for top-level windows titled with the product's name, which the
# dialog's tests and the window runs also show: they take the desktop's turn.
foreach(_name services_tests.NotifyApkInstalledTest.WindowsMissingPresentAndHung
              services_tests.NotifyApkInstalledTest.WindowsOfThisProcessAreNoReceivers)
  set_tests_properties(${_name} PROPERTIES RESOURCE_LOCK desktop)
endforeach()
