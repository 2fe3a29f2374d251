// The manual texts of the six objects that file and format strings are
// parsed as. The parser keeps them as each object's manual page.
#include "parseCommand.h"

const char* const MAN_XIOBYT_READ_FILE =
    "The READ overlay selects the type of data source to read: binary data "
    "(bin), text lines in any character set (text), fixed or variable records "
    "(rec), or automatic detection (auto). Each choice names the physical file "
    "and may add layers that are removed while reading, so that for example "
    "compressed text is decompressed automatically. Reading produces a list of "
    "neutral elements (type, length, value and attributes); the format string "
    "then turns these elements into a stream of bytes or into records for the "
    "application.\n";

const char* const MAN_XIOBYT_WRITE_FILE =
    "The WRITE overlay selects the target format to write: binary data (bin), "
    "text lines in a character set and with a line end of its choice (text), or "
    "fixed or variable records (rec), each with optional compression, "
    "encryption and encoding layers. Encryption writes age v1 files, for the "
    "recipient of an identity file made by age-keygen (identity=) or for a "
    "passphrase (passphrase=, logn=); appending to an encrypted file rewrites "
    "it whole. The procedure that writes the target is "
    "chosen from the kind of data the application delivers and the format to "
    "write. Writing starts from a list of neutral elements (type, length, value "
    "and attributes) that the format string made from the application's data.\n";

const char* const MAN_XIOBYT_INPUT_FILE =
    "The INPUT object describes a data source explicitly: the file to read and "
    "its kind of I/O, any number of conversions in the array cnv (listed from "
    "the outside in, for example age decryption before decompression) and the "
    "formatting method fmt that interprets the remaining data as binary, text "
    "or records.\n";

const char* const MAN_XIOBYT_OUTPUT_FILE =
    "The OUTPUT object describes a target explicitly: the target format, the "
    "file that receives the data (a local file; remote targets are named the "
    "same way), the formatting method fmt for binary, text or record data, any "
    "number of conversions in the array cnv (listed from the outside in) and "
    "the kind of I/O used to write.\n";

const char* const MAN_XIOBYT_READ_FORMAT =
    "The read format string tells how data read through the byte or record "
    "interface is formatted for the application: as binary data or as text in "
    "a character set with a line end of its choice. The conversions of the file "
    "string (for example GZIP, Base64 or character set conversion) are executed "
    "one after the other with the chosen I/O method, and the result reaches the "
    "application's memory as a stream of bytes or as records.\n";

const char* const MAN_XIOBYT_WRITE_FORMAT =
    "The write format string tells in which format the application passes its "
    "data through the byte or record interface: as binary data or as text in a "
    "character set with a line end of its choice. From there the conversions of "
    "the file string (for example character set conversion, GZIP or Base64) "
    "are executed one after the other with the chosen I/O method until the data "
    "reaches the target as a stream or as records.\n";
