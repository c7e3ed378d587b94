# The HTTP service: quorvane-server over one engine, its learner's page
# (service/www, compiled in) and its tests. Included by the top-level file.
pkg_check_modules(HTTPLIB IMPORTED_TARGET cpp-httplib)
if(NOT HTTPLIB_FOUND)
  message(STATUS "cpp-httplib not found: quorvane-server is not built (Debian: libcpp-httplib-dev)")
  return()
endif()

file(GLOB QV_PAGE_FILES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/service/www/*)
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/service/pageAssets.cpp
  COMMAND ${CMAKE_COMMAND} -DWWW=${PROJECT_SOURCE_DIR}/service/www -DOUT=${PROJECT_BINARY_DIR}/service/pageAssets.cpp
          -P ${PROJECT_SOURCE_DIR}/service/embedPage.cmake
  DEPENDS ${QV_PAGE_FILES} ${PROJECT_SOURCE_DIR}/service/embedPage.cmake
  COMMENT "Embedding the learner's page")
add_library(quorvane_service STATIC ${PROJECT_SOURCE_DIR}/service/scoringService.cpp
  ${PROJECT_SOURCE_DIR}/service/httpService.cpp ${PROJECT_BINARY_DIR}/service/pageAssets.cpp)
target_link_libraries(quorvane_service PUBLIC ${QV_ALL_LIBS} PkgConfig::HTTPLIB)
add_executable(quorvane-server ${PROJECT_SOURCE_DIR}/service/quorvane-server.cpp)
target_link_libraries(quorvane-server PRIVATE quorvane_service)
install(TARGETS quorvane-server RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

if(QV_BUILD_TESTS)
  file(GLOB QV_SERVICE_TESTS CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/service/tests/*_test.cpp)
  foreach(src ${QV_SERVICE_TESTS})
    get_filename_component(name ${src} NAME_WE)
    add_executable(${name} ${src})
    target_link_libraries(${name} PRIVATE quorvane_service quorvane_testsupport GTest::gtest_main)
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST
      WORKING_DIRECTORY ${PROJECT_BINARY_DIR}
      PROPERTIES ENVIRONMENT "temp=${PROJECT_BINARY_DIR}/testtmp")
  endforeach()
endif()

# Two instances behind nginx (skipped without nginx); the shipped data set.
if(QV_BUILD_TESTS)
  find_package(Python3 COMPONENTS Interpreter)
  if(Python3_FOUND)
    add_test(NAME Service.TwoInstancesBehindNginxAnswerEveryRequest
      COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/service/tests/two_instances_test.py
              --server $<TARGET_FILE:quorvane-server> --tool $<TARGET_FILE:quorvane>
              --data ${PROJECT_SOURCE_DIR}/telvoDataChinese --work ${PROJECT_BINARY_DIR}/testtmp/two-instances)
    set_tests_properties(Service.TwoInstancesBehindNginxAnswerEveryRequest PROPERTIES SKIP_RETURN_CODE 77 LABELS "service;nginx"
      TIMEOUT 300 RUN_SERIAL TRUE)
  endif()
endif()

# The learner's page in headless Chromium with a fake microphone (skipped
# without chromium and chromedriver); the screenshot stays in the work folder.
if(QV_BUILD_TESTS AND Python3_FOUND)
  add_test(NAME Service.PageScoresARecordingFromTheMicrophone
    COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/service/tests/browser_test.py
            --server $<TARGET_FILE:quorvane-server> --tool $<TARGET_FILE:quorvane>
            --data ${PROJECT_SOURCE_DIR}/telvoDataChinese --work ${PROJECT_BINARY_DIR}/testtmp/browser)
  set_tests_properties(Service.PageScoresARecordingFromTheMicrophone PROPERTIES SKIP_RETURN_CODE 77
    LABELS "service;browser" TIMEOUT 300 RUN_SERIAL TRUE)
endif()
