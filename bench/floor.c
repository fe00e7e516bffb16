/* The design's own floor for the benchmark: the least work that Quarrow's
 * list and compare must do.
 *
 *   floor NMS          reads NMS in one pass into one fresh block, with huge
 *                      pages asked for, as the reader does (list's floor);
 *   floor NMS LIST     then also reads every file named in LIST (one a line,
 *                      relative to the working directory) once, whole, into
 *                      one buffer kept for the run, and looks at each byte
 *                      read beside as many bytes of the block (compare's
 *                      floor: no design can compare without that).
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

static void fail(const char *what) {
  perror(what);
  exit(1);
}

static void read_exactly(int fd, char *buffer, size_t size) {
  for (size_t done = 0; done < size;) {
    ssize_t got = read(fd, buffer + done, size - done);
    if (got <= 0) fail("read");
    done += (size_t)got;
  }
}

static char *block;
static size_t block_size;

static void read_block(const char *path) {
  const size_t huge = (size_t)2 << 20;
  int fd = open(path, O_RDONLY);
  struct stat info;
  if (fd < 0 || fstat(fd, &info) != 0) fail(path);
  size_t size = (size_t)info.st_size;
  size_t rounded = (size + huge - 1) / huge * huge;
  block = aligned_alloc(huge, rounded ? rounded : huge);
  if (block == NULL) fail("aligned_alloc");
  madvise(block, rounded, MADV_HUGEPAGE);
  read_exactly(fd, block, size);
  block_size = size;
  close(fd);
}

/* The bytes of the block in order, from its start, as many as asked for. */
static size_t compared, equal;
static void compare_with_block(const char *bytes, size_t size) {
  if (compared + size > block_size) compared = 0;
  if (size <= block_size) equal += memcmp(bytes, block + compared, size) == 0;
  compared += size;
}

static void read_listed_files(const char *list_path) {
  static char buffer[1 << 20];
  FILE *list = fopen(list_path, "r");
  if (list == NULL) fail(list_path);
  char *line = NULL;
  size_t capacity = 0;
  ssize_t length;
  while ((length = getline(&line, &capacity, list)) > 0) {
    if (line[length - 1] == '\n') line[length - 1] = '\0';
    int fd = open(line, O_RDONLY);
    struct stat info;
    if (fd < 0 || fstat(fd, &info) != 0) fail(line);
    /* Into one buffer, piece by piece, each piece over the last. */
    for (size_t left = (size_t)info.st_size; left > 0;) {
      size_t piece = left < sizeof buffer ? left : sizeof buffer;
      read_exactly(fd, buffer, piece);
      compare_with_block(buffer, piece);
      left -= piece;
    }
    close(fd);
  }
  free(line);
  fclose(list);
}

int main(int argc, char **argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: floor NMS [LIST]\n");
    return 2;
  }
  read_block(argv[1]);
  if (argc > 2) read_listed_files(argv[2]);
  return equal == (size_t)-1; /* never: keeps the comparisons from being left out */
}
