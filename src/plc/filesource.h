// Where a file was found: shared by the public file's text and the file services' records.
#pragma once

// Nowhere (unknown, failed), the local computer, the PLC, or served from the file cache's memory.
enum FILE_SOURCE : int { SRC_NONE = 0, SRC_LOCAL = 1, SRC_PLC = 2, SRC_CACHE = 3 };
