// Files replaced whole: what a reader of the file sees is always the old file or the new one.
#pragma once

// Moves the file temporary onto path, replacing what is there in one step (rename on POSIX;
// MoveFileEx with MOVEFILE_REPLACE_EXISTING on Windows). Returns 0, or -1 after an error line.
int replace_file(const char *temporary, const char *path);
