// The argument tables of file strings, format strings and the state text.
// Entries that several tables share are defined once below and copied into
// each table; sub-tables are shared by address.
#include "xiobyt/tables.h"

namespace {

constexpr ClpArg kEnd{};
constexpr ClpArg kNoArgs[] = {kEnd};

// Layers: compression, encryption, encoding.

constexpr ClpArg kThreads{.keyword = "threads",
                          .kind = CLP_NUMBER,
                          .minValue = 1,
                          .maxValue = 8,
                          .help = "Compression threads 1..8 (default 2)"};
constexpr ClpArg kGzipArgs[] = {{.keyword = "level",
                                 .kind = CLP_NUMBER,
                                 .minValue = 1,
                                 .maxValue = 9,
                                 .help = "Compression level 1..9 (default 6)"},
                                kThreads,
                                kEnd};
constexpr ClpArg kZstdArgs[] = {{.keyword = "level",
                                 .kind = CLP_NUMBER,
                                 .minValue = 1,
                                 .maxValue = 19,
                                 .help = "Compression level 1..19 (default 3)"},
                                kThreads,
                                kEnd};
constexpr ClpArg kXzArgs[] = {{.keyword = "level",
                               .kind = CLP_NUMBER,
                               .minValue = 0,
                               .maxValue = 9,
                               .help = "Compression preset 0..9 (default 6)"},
                              kThreads,
                              kEnd};
constexpr ClpArg kBzip2Args[] = {{.keyword = "level",
                                  .kind = CLP_NUMBER,
                                  .minValue = 1,
                                  .maxValue = 9,
                                  .help = "Block size in 100k units 1..9 (default 9)"},
                                 kEnd};
constexpr ClpArg kAgeArgs[] = {
    {.keyword = "identity",
     .kind = CLP_TEXT,
     .help = "Identity file made by age-keygen (mode 0600 or stricter)"},
    {.keyword = "passphrase", .kind = CLP_TEXT, .help = "Passphrase for an scrypt stanza"},
    {.keyword = "logn",
     .kind = CLP_NUMBER,
     .minValue = 1,
     .maxValue = 22,
     .help = "scrypt work factor log2(N) 1..22 (default 18) with passphrase="},
    kEnd};

constexpr ClpArg kGzip{
    .keyword = "gzip", .kind = CLP_OBJECT, .table = kGzipArgs, .help = "gzip compression"};
constexpr ClpArg kZstd{
    .keyword = "zstd", .kind = CLP_OBJECT, .table = kZstdArgs, .help = "Zstandard compression"};
constexpr ClpArg kXz{
    .keyword = "xz", .kind = CLP_OBJECT, .table = kXzArgs, .help = "xz (LZMA2) compression"};
constexpr ClpArg kBzip2{
    .keyword = "bzip2", .kind = CLP_OBJECT, .table = kBzip2Args, .help = "bzip2 compression"};
constexpr ClpArg kAge{.keyword = "age",
                      .kind = CLP_OBJECT,
                      .table = kAgeArgs,
                      .help = "age v1 encryption with identity= or passphrase="};
constexpr ClpArg kBase64{
    .keyword = "base64", .kind = CLP_OBJECT, .table = kNoArgs, .help = "Base64 encoding"};
constexpr ClpArg kHex{
    .keyword = "hex", .kind = CLP_OBJECT, .table = kNoArgs, .help = "Hexadecimal encoding"};

constexpr ClpArg kCompChoices[] = {kGzip, kZstd, kXz, kBzip2, kEnd};
constexpr ClpArg kEncrChoices[] = {kAge, kEnd};
constexpr ClpArg kEncChoices[] = {kBase64, kHex, kEnd};
constexpr ClpArg kLayerChoices[] = {kGzip, kZstd, kXz, kBzip2, kAge, kBase64, kHex, kEnd};

// Arguments of the data kinds.

constexpr const char* kMethods[] = {"LF", "CRLF", "CR", "NL", nullptr};
constexpr const char* kRecordFormats[] = {"FIX", "VAR", nullptr};

constexpr ClpArg kFile{.keyword = "file",
                       .kind = CLP_TEXT,
                       .minOcc = 1,
                       .help = "Name of the physical file ('' is filled in when used)"};
constexpr ClpArg kComp{.keyword = "comp",
                       .kind = CLP_OVERLAY,
                       .table = kCompChoices,
                       .help = "Compression: gzip, zstd, xz or bzip2"};
constexpr ClpArg kEncr{
    .keyword = "encr", .kind = CLP_OVERLAY, .table = kEncrChoices, .help = "Encryption: age"};
constexpr ClpArg kEnc{
    .keyword = "enc", .kind = CLP_OVERLAY, .table = kEncChoices, .help = "Encoding: base64 or hex"};
constexpr ClpArg kCcsid{.keyword = "ccsid",
                        .kind = CLP_TEXT,
                        .help = "Character set, any iconv name (default 'UTF-8')"};
constexpr ClpArg kMethod{.keyword = "method",
                         .kind = CLP_CONSTANT,
                         .constants = kMethods,
                         .help = "Line end: LF, CRLF, CR or NL (default LF)"};
constexpr ClpArg kBom{.keyword = "bom", .kind = CLP_SWITCH, .help = "Write a byte-order mark"};
constexpr ClpArg kRecf{.keyword = "recf",
                       .kind = CLP_CONSTANT,
                       .constants = kRecordFormats,
                       .help = "Record format: FIX or VAR (default FIX)"};
constexpr ClpArg kRecl{.keyword = "recl",
                       .kind = CLP_NUMBER,
                       .minOcc = 1,
                       .minValue = 1,
                       .maxValue = 65531,
                       .help = "Record length (FIX) or maximum (VAR)"};
constexpr ClpArg kPad{
    .keyword = "pad", .kind = CLP_TEXT, .help = "Padding character of FIX records (default blank)"};

// The choices of READ and WRITE: the common arguments, then their own.
constexpr ClpArg kFileBinArgs[] = {kFile, kComp, kEncr, kEnc, kEnd};
constexpr ClpArg kFileTextArgs[] = {kFile, kComp, kEncr, kEnc, kCcsid, kMethod, kBom, kEnd};
constexpr ClpArg kFileRecArgs[] = {kFile, kComp, kEncr, kEnc, kRecf, kRecl, kCcsid, kPad, kEnd};

constexpr ClpArg kFileBin{
    .keyword = "bin", .kind = CLP_OBJECT, .table = kFileBinArgs, .help = "Bytes"};
constexpr ClpArg kFileText{.keyword = "text",
                           .kind = CLP_OBJECT,
                           .table = kFileTextArgs,
                           .help = "Text lines in a character set"};
constexpr ClpArg kFileRec{.keyword = "rec",
                          .kind = CLP_OBJECT,
                          .table = kFileRecArgs,
                          .help = "Fixed or variable records"};
constexpr ClpArg kFileAuto{.keyword = "auto",
                           .kind = CLP_OBJECT,
                           .table = kFileBinArgs,
                           .help = "Detect the compression by its magic bytes, else bytes"};

// The data kinds of fmt (INPUT, OUTPUT) and of FORMAT, without the file.
constexpr ClpArg kFmtTextArgs[] = {kCcsid, kMethod, kBom, kEnd};
constexpr ClpArg kFmtRecArgs[] = {kRecf, kRecl, kCcsid, kPad, kEnd};

constexpr ClpArg kFmtBin{.keyword = "bin", .kind = CLP_OBJECT, .table = kNoArgs, .help = "Bytes"};
constexpr ClpArg kFmtText{.keyword = "text",
                          .kind = CLP_OBJECT,
                          .table = kFmtTextArgs,
                          .help = "Text lines in a character set"};
constexpr ClpArg kFmtRec{.keyword = "rec",
                         .kind = CLP_OBJECT,
                         .table = kFmtRecArgs,
                         .help = "Fixed or variable records"};
constexpr ClpArg kFmtAuto{.keyword = "auto",
                          .kind = CLP_OBJECT,
                          .table = kNoArgs,
                          .help = "Detect the compression by its magic bytes, else bytes"};

constexpr ClpArg kInputKinds[] = {kFmtBin, kFmtText, kFmtRec, kFmtAuto, kEnd};
constexpr ClpArg kOutputKinds[] = {kFmtBin, kFmtText, kFmtRec, kEnd};

constexpr ClpArg kCnv{
    .keyword = "cnv",
    .kind = CLP_ARRAY,
    .table = kLayerChoices,
    .elementKind = CLP_OVERLAY,
    .help = "Layers from the outside in: gzip, zstd, xz, bzip2, age, base64, hex"};

}  // namespace

const ClpArg asClpOrgRedPar[] = {kFileBin, kFileText, kFileRec, kFileAuto, kEnd};
const ClpArg asClpOrgWrtPar[] = {kFileBin, kFileText, kFileRec, kEnd};

const ClpArg asClpZulInpPar[] = {kFile,
                                 kCnv,
                                 {.keyword = "fmt",
                                  .kind = CLP_OVERLAY,
                                  .table = kInputKinds,
                                  .help = "Data kind: bin (default), text, rec or auto"},
                                 kEnd};
const ClpArg asClpZulOutPar[] = {kFile,
                                 kCnv,
                                 {.keyword = "fmt",
                                  .kind = CLP_OVERLAY,
                                  .table = kOutputKinds,
                                  .help = "Data kind: bin (default), text or rec"},
                                 kEnd};

const ClpArg asClpWrtFmtPar[] = {kFmtBin, kFmtText, kEnd};
const ClpArg asClpRedFmtPar[] = {kFmtBin, kFmtText, kEnd};

const ClpArg asClpStatePar[] = {
    kFile,
    {.keyword = "comment", .kind = CLP_TEXT, .help = "Free text, such as the writer's version"},
    kEnd};
