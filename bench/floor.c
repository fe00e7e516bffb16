/* The design's own floor for the benchmark: the least work that Quarrow's
 * list and compare must do.
 *
 *   floor NMS          reads NMS in one pass into one fresh block, with huge
 *                      pages asked for, as the reader does (list's floor);
 *   floor NMS LIST     then also reads every file named in LIST (one a line,
 *                      relative to the working directory) once, whole, into
 *                      one buffer kept for the run, and compares it in full
 *                      with its own held text (compare's floor on one
 *                      thread: no design can compare without that).
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdint.h>
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

/* Where file number `index` of the list has its held text: the .nms file's
 * source table, read as the reader reads it (no checks: the benchmark packs
 * its own files). */
static uint32_t get32(size_t offset) {
  uint32_t value;
  memcpy(&value, block + offset, 4);
  return value;
}
static const char *held_text(size_t index) {
  const uint32_t directory = get32(12);
  const uint32_t symd = get32(directory + 16), srcp = get32(directory + 20);
  const uint32_t table = get32(symd + 8);
  const size_t entry = table + get32(table) + 20 * index;
  return block + get32(srcp + 8) + get32(entry + 4);
}

/* Each file's bytes beside its own held text, in full: no compare can do less. */
static size_t equal;
static void compare_with_held(const char *bytes, size_t size, const char *held) {
  equal += memcmp(bytes, held, size) == 0;
}

static void read_listed_files(const char *list_path) {
  static char buffer[1 << 20];
  FILE *list = fopen(list_path, "r");
  if (list == NULL) fail(list_path);
  char *line = NULL;
  size_t capacity = 0;
  ssize_t length;
  for (size_t index = 0; (length = getline(&line, &capacity, list)) > 0; ++index) {
    if (line[length - 1] == '\n') line[length - 1] = '\0';
    int fd = open(line, O_RDONLY);
    struct stat info;
    if (fd < 0 || fstat(fd, &info) != 0) fail(line);
    const char *held = held_text(index);
    /* Into one buffer, piece by piece, each piece over the last. */
    for (size_t done = 0; done < (size_t)info.st_size;) {
      size_t left = (size_t)info.st_size - done;
      size_t piece = left < sizeof buffer ? left : sizeof buffer;
      read_exactly(fd, buffer, piece);
      compare_with_held(buffer, piece, held + done);
      done += piece;
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
