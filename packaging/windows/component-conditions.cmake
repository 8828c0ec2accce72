# The conditions of the components that exist in two forms (the command line without and with
# the service), which wixl does not write: set in the built package's Component table. The
# service stays once installed (SERVICEINSTALLED), through upgrades, until uninstalled.
# cmake -DMSIBUILD=msibuild -DMSI=horalign.msi -P component-conditions.cmake
execute_process(
  COMMAND ${MSIBUILD} ${MSI} -q
    "UPDATE `Component` SET `Condition` = 'NOT (SERVICE=\"1\" OR SERVICEINSTALLED)' WHERE `Component` = 'CommandLine'"
    -q "UPDATE `Component` SET `Condition` = 'SERVICE=\"1\" OR SERVICEINSTALLED' WHERE `Component` = 'Service'"
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "msibuild could not set the component conditions of ${MSI}")
endif()
