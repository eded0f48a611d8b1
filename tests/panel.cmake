# The panel in a browser (headless Chromium through Selenium) and its metrics through promtool,
# both on bootloader's paneldemo. Included from tests/CMakeLists.txt after release.cmake.
# Debian's python3 first: python3-selenium is installed for it.
find_program(BOOTLOADER_PYTHON3 python3 PATHS /usr/bin NO_DEFAULT_PATH)
bootloader_check_tool(BOOTLOADER_PYTHON3 python3)
bootloader_check_tool(BOOTLOADER_PROMTOOL promtool)
if(BOOTLOADER_PYTHON3 AND BOOTLOADER_PROMTOOL)
    add_test(NAME panel_metrics COMMAND ${BOOTLOADER_PYTHON3} ${CMAKE_CURRENT_SOURCE_DIR}/panel_browser.py
                                        $<TARGET_FILE:paneldemo> --promtool ${BOOTLOADER_PROMTOOL})
endif()
# The example alert rules: promtool takes them, and they fire on the series that should fire them.
if(BOOTLOADER_PROMTOOL)
    add_test(NAME alert_rules_check COMMAND ${BOOTLOADER_PROMTOOL} check rules
                                            ${PROJECT_SOURCE_DIR}/resources/prometheus/bootloader-alerts.yml)
    add_test(NAME alert_rules COMMAND ${BOOTLOADER_PROMTOOL} test rules bootloader-alerts_test.yml
             WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR})
endif()

bootloader_check_tool(BOOTLOADER_CHROMIUM chromium)
bootloader_check_tool(BOOTLOADER_CHROMEDRIVER chromedriver)
execute_process(COMMAND ${BOOTLOADER_PYTHON3} -c "import selenium" RESULT_VARIABLE selenium_missing
                OUTPUT_QUIET ERROR_QUIET)
if(selenium_missing)
    if(BOOTLOADER_REQUIRE_CHECKS)
        message(FATAL_ERROR "python3-selenium not found; scripts/setup.sh browser installs it")
    endif()
    message(STATUS "python3-selenium not found: the panel's browser test is left out")
elseif(BOOTLOADER_CHROMIUM AND BOOTLOADER_CHROMEDRIVER)
    add_test(NAME panel_browser COMMAND ${BOOTLOADER_PYTHON3} ${CMAKE_CURRENT_SOURCE_DIR}/panel_browser.py
                                        $<TARGET_FILE:paneldemo> --chromium ${BOOTLOADER_CHROMIUM}
                                        --chromedriver ${BOOTLOADER_CHROMEDRIVER})
    set_tests_properties(panel_browser PROPERTIES TIMEOUT 120)
    # A real station with simulated boards; the short-timing build fails a silent board fast.
    add_test(NAME station_browser COMMAND ${BOOTLOADER_PYTHON3} ${CMAKE_CURRENT_SOURCE_DIR}/station_browser.py
                                          $<TARGET_FILE:bootloader-cli-short-timing> $<TARGET_FILE:bootloader-sim>
                                          --chromium ${BOOTLOADER_CHROMIUM} --chromedriver ${BOOTLOADER_CHROMEDRIVER})
    set_tests_properties(station_browser PROPERTIES TIMEOUT 120)
endif()
