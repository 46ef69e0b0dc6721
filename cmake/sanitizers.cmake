# ASan + UBSan for the whole build when PLATEWISE_SANITIZE is on. UBSan is made
# fatal so that a test run fails on the first finding instead of printing it.
if(PLATEWISE_SANITIZE)
  set(_san -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_compile_options(${_san})
  add_link_options(${_san})
endif()

# Fuzz builds instrument everything for coverage; only the fuzz targets link
# libFuzzer's main.
if(PLATEWISE_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()
