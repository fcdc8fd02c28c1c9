# Makes DESTINATION hold the files of SOURCE: changed ones are copied, ones gone from SOURCE
# are removed. A missing SOURCE leaves an empty DESTINATION.
file(MAKE_DIRECTORY "${DESTINATION}")
file(GLOB_RECURSE present RELATIVE "${DESTINATION}" "${DESTINATION}/*")
foreach(name IN LISTS present)
    if(NOT EXISTS "${SOURCE}/${name}")
        file(REMOVE "${DESTINATION}/${name}")
    endif()
endforeach()
if(IS_DIRECTORY "${SOURCE}")
    file(COPY "${SOURCE}/" DESTINATION "${DESTINATION}")
endif()
