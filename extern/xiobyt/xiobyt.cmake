# The conversion library: the byte interface, its pipeline and stages.
add_library(xiobyt STATIC
  ${CMAKE_CURRENT_LIST_DIR}/handle.cpp
  ${CMAKE_CURRENT_LIST_DIR}/read.cpp
  ${CMAKE_CURRENT_LIST_DIR}/write.cpp
  ${CMAKE_CURRENT_LIST_DIR}/close.cpp
  ${CMAKE_CURRENT_LIST_DIR}/version.cpp
  ${CMAKE_CURRENT_LIST_DIR}/workers.cpp
  ${CMAKE_CURRENT_LIST_DIR}/open.cpp
  ${CMAKE_CURRENT_LIST_DIR}/size.cpp
  ${CMAKE_CURRENT_LIST_DIR}/keys.cpp
  ${CMAKE_CURRENT_LIST_DIR}/recover.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sizes.cpp
  ${CMAKE_CURRENT_LIST_DIR}/random/random.cpp
  ${CMAKE_CURRENT_LIST_DIR}/random/zstd.cpp
  ${CMAKE_CURRENT_LIST_DIR}/random/xz.cpp
  ${CMAKE_CURRENT_LIST_DIR}/random/age.cpp
  ${CMAKE_CURRENT_LIST_DIR}/command.cpp
  ${CMAKE_CURRENT_LIST_DIR}/inverse.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pipeline.cpp
  ${CMAKE_CURRENT_LIST_DIR}/charset.cpp
  ${CMAKE_CURRENT_LIST_DIR}/trace.cpp
  ${CMAKE_CURRENT_LIST_DIR}/stages/buffered.cpp
  ${CMAKE_CURRENT_LIST_DIR}/stages/file.cpp
  ${CMAKE_CURRENT_LIST_DIR}/stages/gzip.cpp
  ${CMAKE_CURRENT_LIST_DIR}/stages/auto.cpp
  ${CMAKE_CURRENT_LIST_DIR}/stages/layers.cpp
  ${CMAKE_CURRENT_LIST_DIR}/stages/block.cpp
  ${CMAKE_CURRENT_LIST_DIR}/stages/pieces.cpp
  ${CMAKE_CURRENT_LIST_DIR}/stages/shared_pool.cpp
  ${CMAKE_CURRENT_LIST_DIR}/stages/zstd.cpp
  ${CMAKE_CURRENT_LIST_DIR}/stages/xz.cpp
  ${CMAKE_CURRENT_LIST_DIR}/stages/bzip2.cpp
  ${CMAKE_CURRENT_LIST_DIR}/stages/encoding.cpp
  ${CMAKE_CURRENT_LIST_DIR}/stages/text.cpp
  ${CMAKE_CURRENT_LIST_DIR}/stages/record.cpp
  ${CMAKE_CURRENT_LIST_DIR}/stages/age/base64.cpp
  ${CMAKE_CURRENT_LIST_DIR}/stages/age/bech32.cpp
  ${CMAKE_CURRENT_LIST_DIR}/stages/age/primitives.cpp
  ${CMAKE_CURRENT_LIST_DIR}/stages/age/scrypt.cpp
  ${CMAKE_CURRENT_LIST_DIR}/stages/age/header.cpp
  ${CMAKE_CURRENT_LIST_DIR}/stages/age/identity.cpp
  ${CMAKE_CURRENT_LIST_DIR}/stages/age/payload.cpp
  ${CMAKE_CURRENT_LIST_DIR}/stages/age/stream.cpp)
target_include_directories(xiobyt PUBLIC ${PROJECT_SOURCE_DIR}/extern)
target_link_libraries(xiobyt PUBLIC xiobyt_tables corekit ZLIB::ZLIB PkgConfig::ZSTD PkgConfig::LZMA
                      BZip2::BZip2 OpenSSL::Crypto Threads::Threads)
