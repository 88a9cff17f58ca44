/* The benchmark's floor for vellum-host native-messaging: a native messaging host that does
 * nothing but answer. Each frame read (a 32-bit length in the machine's byte order, then that
 * many bytes of JSON) is answered at once with {"id": N, "result": "bare"}, N the number after
 * the frame's first "id": member. Ends at the end of its input. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

enum { kMaxFrame = 1024 * 1024 };

static int readFully(int fd, void* into, size_t size) {
    char* at = into;
    while (size > 0) {
        ssize_t got = read(fd, at, size);
        if (got <= 0) {
            return 0;
        }
        at += got;
        size -= (size_t)got;
    }
    return 1;
}

static int writeFully(int fd, const void* from, size_t size) {
    const char* at = from;
    while (size > 0) {
        ssize_t put = write(fd, at, size);
        if (put <= 0) {
            return 0;
        }
        at += put;
        size -= (size_t)put;
    }
    return 1;
}

int main(void) {
    static char frame[kMaxFrame + 1];
    for (;;) {
        uint32_t length = 0;
        if (!readFully(STDIN_FILENO, &length, sizeof length)) {
            return 0;
        }
        if (length > kMaxFrame || !readFully(STDIN_FILENO, frame, length)) {
            return 1;
        }
        frame[length] = '\0';
        const char* id = strstr(frame, "\"id\":");
        char answer[96];
        int size = snprintf(answer, sizeof answer, "{\"id\":%lld,\"result\":\"bare\"}",
                            id ? strtoll(id + 5, NULL, 10) : 0LL);
        uint32_t header = (uint32_t)size;
        if (!writeFully(STDOUT_FILENO, &header, sizeof header) ||
            !writeFully(STDOUT_FILENO, answer, (size_t)size)) {
            return 1;
        }
    }
}
