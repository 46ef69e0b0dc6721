# ASan + UBSan for the whole build when PLATEWISE_SANITIZE is on. UBSan is made
# fatal so that a test run fails on the first finding instead of printing it.
if(PLATEWISE_SANITIZE)
  set(_san -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_compile_options(${_san})
  add_link_options(${_san})
endif()

# ThreadSanitizer (preset tsan), for the service's two threads and the
# processes around it. Its test preset sets TSAN_OPTIONS so that a report
# fails the test.
if(PLATEWISE_TSAN)
  set(_tsan -fsanitize=thread -fno-omit-frame-pointer)
  add_compile_options(${_tsan})
  add_link_options(${_tsan})
endif()

# Fuzz builds instrument everything for coverage; only the fuzz targets link
# libFuzzer's main.
if(PLATEWISE_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()
