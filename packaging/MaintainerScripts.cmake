# The package's maintainer scripts, as debhelper writes them for a Debian service:
# dh_installsysusers makes the service's user, and dh_installsystemd --no-enable looks after
# a unit that is installed, not enabled: an install starts nothing, an upgrade restarts a
# running service on the new files, a removal stops it and a purge takes its links away.
# The package's own parts (postinst, postrm here) hold #DEBHELPER# where debhelper's go.
# It runs at configure time in a scratch debian/ folder, so that CPack knows the scripts and
# the dependency they bring; a change of the unit or of a part configures again.
#
# Sets HORALIGN_MAINTAINER_SCRIPTS (the scripts, for CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA)
# and HORALIGN_MAINTAINER_DEPENDS (debhelper's misc:Depends).
function(horalign_maintainer_scripts package)
  foreach(tool dh_installsystemd dh_installsysusers dh_installdeb)
    find_program(HORALIGN_${tool} ${tool})
    if(NOT HORALIGN_${tool})
      message(FATAL_ERROR "${tool} is missing: the Debian package's maintainer scripts come "
                          "from debhelper (scripts/deps.sh installs it)")
    endif()
  endforeach()
  set(dh ${PROJECT_BINARY_DIR}/packaging/debhelper)
  set(here ${PROJECT_SOURCE_DIR}/packaging)
  file(REMOVE_RECURSE ${dh})
  # debhelper needs no more of a source package than its name and compatibility level.
  file(WRITE ${dh}/debian/control "Source: ${package}\n\
Maintainer: ${HORALIGN_PACKAGE_MAINTAINER}\n\
Build-Depends: debhelper-compat (= 13)\n\n\
Package: ${package}\nArchitecture: any\nDescription: ${CPACK_PACKAGE_DESCRIPTION_SUMMARY}\n")
  # Only the unit's name and [Install] section count here, not its paths.
  configure_file(${PROJECT_SOURCE_DIR}/service/horalign.service.in
                 ${dh}/debian/${package}.service COPYONLY)
  # Installed as sysusers.d/${package}.conf, the name the snippet hands systemd-sysusers.
  configure_file(${here}/horalign.sysusers ${dh}/debian/${package}.sysusers COPYONLY)
  configure_file(${here}/postinst ${dh}/debian/${package}.postinst COPYONLY)
  configure_file(${here}/postrm ${dh}/debian/${package}.postrm COPYONLY)
  foreach(step "dh_installsystemd;--no-enable" "dh_installsysusers" "dh_installdeb")
    list(POP_FRONT step tool)
    execute_process(COMMAND ${HORALIGN_${tool}} -p${package} ${step}
                    WORKING_DIRECTORY ${dh} RESULT_VARIABLE failed ERROR_VARIABLE said)
    if(failed)
      message(FATAL_ERROR "${tool} failed: ${said}")
    endif()
  endforeach()

  # CPack takes a fixed list: a script debhelper adds one day must not be lost unseen.
  set(scripts postinst prerm postrm)
  file(GLOB written RELATIVE ${dh}/debian/${package}/DEBIAN ${dh}/debian/${package}/DEBIAN/*)
  list(SORT written)
  set(expected ${scripts})
  list(SORT expected)
  if(NOT written STREQUAL expected)
    message(FATAL_ERROR "debhelper wrote the maintainer scripts '${written}', not '${expected}'")
  endif()
  list(TRANSFORM scripts PREPEND ${dh}/debian/${package}/DEBIAN/)
  set(HORALIGN_MAINTAINER_SCRIPTS ${scripts} PARENT_SCOPE)

  file(STRINGS ${dh}/debian/${package}.substvars depends REGEX "^misc:Depends=")
  string(REGEX REPLACE "^misc:Depends=" "" depends "${depends}")
  set(HORALIGN_MAINTAINER_DEPENDS "${depends}" PARENT_SCOPE)
endfunction()
