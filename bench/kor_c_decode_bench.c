/* States decoded per second through the C interface alone: every UDP datagram of a pcap
 * capture fed to one kor_device, and the state copied out after each, as a binding does.
 *
 *   kor_c_decode_bench CAPTURE.pcap [RUNS]
 *
 * Reads little-endian Ethernet captures with IPv4 headers, as kor-monitor --record and
 * bench/korlib_bench.py write them; prints the best of RUNS passes (default 5). */
#define _POSIX_C_SOURCE 199309L

#include <kor/kor_c.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

struct datagram {
    const uint8_t* bytes;
    size_t size;
};

static uint32_t le32(const uint8_t* p) {
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

static double now_seconds(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

/* The UDP payloads of the capture, pointing into `file`; the count in *count. */
static struct datagram* payloads(const uint8_t* file, size_t size, size_t* count) {
    struct datagram* list = malloc(sizeof *list * (size / 58 + 1));
    size_t at = 24;
    *count = 0;
    if (list == NULL || size < 24 || le32(file) != 0xA1B23C4Du || le32(file + 20) != 1) {
        free(list);
        return NULL;
    }
    while (at + 16 <= size) {
        const size_t included = le32(file + at + 8);
        const uint8_t* frame = file + at + 16;
        size_t header;
        if (included > size - at - 16) {
            break;
        }
        at += 16 + included;
        if (included < 14 + 20 + 8 || frame[12] != 0x08 || frame[13] != 0x00) {
            continue;
        }
        header = (size_t)(frame[14] & 0x0F) * 4;
        if (frame[23] != 17 || included < 14 + header + 8) {
            continue;
        }
        list[*count].bytes = frame + 14 + header + 8;
        list[*count].size = included - 14 - header - 8;
        ++*count;
    }
    return list;
}

int main(int argc, char** argv) {
    FILE* in;
    uint8_t* file;
    long size;
    size_t count = 0;
    struct datagram* list;
    kor_telemetry state;
    double best = 1e30;
    int runs = argc > 2 ? atoi(argv[2]) : 5;
    int run;
    unsigned long applied = 0;

    if (argc < 2 || (in = fopen(argv[1], "rb")) == NULL) {
        fprintf(stderr, "usage: kor_c_decode_bench CAPTURE.pcap [RUNS]\n");
        return 2;
    }
    fseek(in, 0, SEEK_END);
    size = ftell(in);
    fseek(in, 0, SEEK_SET);
    file = malloc((size_t)size);
    if (file == NULL || fread(file, 1, (size_t)size, in) != (size_t)size) {
        fprintf(stderr, "cannot read %s\n", argv[1]);
        return 2;
    }
    fclose(in);
    list = payloads(file, (size_t)size, &count);
    if (list == NULL || count == 0) {
        fprintf(stderr, "%s: not a little-endian Ethernet capture with nanosecond time "
                        "stamps, or no UDP datagrams\n", argv[1]);
        return 2;
    }
    for (run = 0; run < (runs > 0 ? runs : 1); ++run) {
        kor_device* device = NULL;
        double start;
        double elapsed;
        size_t i;
        if (kor_device_create(&device) != KOR_OK) {
            return 1;
        }
        applied = 0;
        start = now_seconds();
        for (i = 0; i < count; ++i) {
            const int status = kor_device_update(device, list[i].bytes, list[i].size);
            kor_device_get_state(device, &state);
            applied += status <= KOR_FRAME_SAME_TIMECODE;
        }
        elapsed = now_seconds() - start;
        kor_device_destroy(device);
        if (elapsed < best) {
            best = elapsed;
        }
    }
    printf("C interface: %lu datagrams (%lu applied) in %.3f s: %.0f states/s "
           "(kor_device_update + kor_device_get_state, best of %d)\n",
           (unsigned long)count, applied, best, (double)count / best, runs);
    free(list);
    free(file);
    return 0;
}
