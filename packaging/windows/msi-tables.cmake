# What wixl does not write, set in the built package with msibuild:
# - the conditions of the components that exist in two forms (the command line without and
#   with the service): the service stays once installed (SERVICEINSTALLED), through
#   upgrades, until uninstalled; the settings key's component goes with the service;
# - the settings key, created when missing and left at uninstall, as the settings are, with
#   the service's SID (NT SERVICE\Horalign) allowed to write it and its subkeys: the system
#   and administrators have it all, Users may read;
# - horalign-service-setup.exe, run as the system between installing the service and
#   starting it (the quoted command line, the service's SID).
# cmake -DMSIBUILD=msibuild -DMSI=horalign.msi -P msi-tables.cmake

# The service's SID: S-1-5-80 and the SHA-1 of its name in capitals, in UTF-16LE, as five
# little-endian numbers.
find_program(ICONV iconv REQUIRED)
get_filename_component(work ${MSI} DIRECTORY)
file(WRITE ${work}/service-name.txt "HORALIGN")
execute_process(COMMAND ${ICONV} -f ASCII -t UTF-16LE ${work}/service-name.txt
  OUTPUT_FILE ${work}/service-name.utf16 RESULT_VARIABLE converted)
if(NOT converted EQUAL 0)
  message(FATAL_ERROR "iconv could not write the service's name in UTF-16LE")
endif()
file(SHA1 ${work}/service-name.utf16 digest)
file(REMOVE ${work}/service-name.txt ${work}/service-name.utf16)
set(SERVICE_SID "S-1-5-80")
foreach(word RANGE 0 4)
  set(hex "")
  foreach(byte RANGE 3 0 -1)
    math(EXPR at "${word} * 8 + ${byte} * 2")
    string(SUBSTRING ${digest} ${at} 2 pair)
    string(APPEND hex ${pair})
  endforeach()
  math(EXPR number "0x${hex}")
  string(APPEND SERVICE_SID "-${number}")
endforeach()

set(service_condition "SERVICE=\"1\" OR SERVICEINSTALLED")
set(settings_sddl
  "D:PAI(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KR;;;BU)(A;CI;KRKW;;;${SERVICE_SID})")
execute_process(
  COMMAND ${MSIBUILD} ${MSI}
    -q "UPDATE `Component` SET `Condition` = 'NOT (${service_condition})' WHERE `Component` = 'CommandLine'"
    -q "UPDATE `Component` SET `Condition` = '${service_condition}' WHERE `Component` = 'Service'"
    -q "UPDATE `Component` SET `Condition` = '${service_condition}' WHERE `Component` = 'ServiceSettings'"
    -q "INSERT INTO `Registry` (`Registry`, `Root`, `Key`, `Name`, `Component_`) VALUES ('SettingsKey', 2, 'Software\\Quorvane\\Horalign', '+', 'ServiceSettings')"
    -q "CREATE TABLE `MsiLockPermissionsEx` (`MsiLockPermissionsEx` CHAR(72) NOT NULL, `LockObject` CHAR(72) NOT NULL, `Table` CHAR(32) NOT NULL, `SDDLText` LONGCHAR NOT NULL, `Condition` CHAR(255) PRIMARY KEY `MsiLockPermissionsEx`)"
    -q "INSERT INTO `MsiLockPermissionsEx` (`MsiLockPermissionsEx`, `LockObject`, `Table`, `SDDLText`) VALUES ('SettingsKeyLock', 'SettingsKey', 'Registry', '${settings_sddl}')"
    -q "INSERT INTO `CustomAction` (`Action`, `Type`, `Source`, `Target`) VALUES ('ConfigureService', 3074, 'ServiceSetup', '\"[#horalign_cli_service.exe]\"')"
    -q "INSERT INTO `InstallExecuteSequence` (`Action`, `Condition`, `Sequence`) VALUES ('ConfigureService', '$Service=3', 5850)"
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "msibuild could not add the tables wixl does not write to ${MSI}")
endif()
