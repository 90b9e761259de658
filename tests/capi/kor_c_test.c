/* The C interface used from C99 through kor/kor_c.h alone: hand-written frames in both
 * directions, the frame reports of a serial stream cut anywhere, names, the record's
 * defaults, the lens functions, and every NULL pointer, short buffer and out-of-range
 * argument. Prints each failed check and exits 1 if there was one. */
#include <kor/kor_c.h>

#include <stdio.h>
#include <string.h>

static int failures = 0;

/* |a - b|, without the maths library: the program links with -lKorLib alone. */
static double distance(double a, double b) {
    return a > b ? a - b : b - a;
}

#define CHECK(condition)                                                     \
    do {                                                                     \
        if (!(condition)) {                                                  \
            printf("%s:%d: failed: %s\n", __FILE__, __LINE__, #condition); \
            ++failures;                                                      \
        }                                                                    \
    } while (0)

#define COUNT(array) (sizeof(array) / sizeof((array)[0]))

static void print_bytes(const char* label, const uint8_t* bytes, size_t size) {
    size_t i;
    printf("  %s:", label);
    for (i = 0; i < size; ++i) {
        printf(" %02X", (unsigned)bytes[i]);
    }
    printf("\n");
}

/* Encodes `data` and compares the frame with `expected`. */
static void check_encode(const char* name, const kor_telemetry* data, int transmission,
                         const uint16_t* types, size_t type_count, const uint8_t* expected,
                         size_t expected_size) {
    uint8_t frame[KOR_MAX_FRAME_SIZE];
    size_t size = 0;
    const int status = kor_encode(data, transmission, types, type_count, frame, sizeof frame,
                                  &size);
    if (status != KOR_OK || size != expected_size || memcmp(frame, expected, size) != 0) {
        printf("encode %s: status %s, %u bytes\n", name, kor_status_name(status),
               (unsigned)size);
        print_bytes("got", frame, status == KOR_OK ? size : 0);
        print_bytes("expected", expected, expected_size);
        ++failures;
    }
}

static void set_string(kor_string* s, const char* bytes, size_t length) {
    s->length = (uint8_t)length;
    memcpy(s->bytes, bytes, length);
}

static const uint16_t kTimecodeAndLens[] = {KOR_MESSAGE_TIMECODE, KOR_MESSAGE_BASIC_LENS};
static const uint16_t kChannel[] = {KOR_MESSAGE_CHANNEL_ID};

/* 10:20:30 frame 12, focus 1500 mm, zoom 35 mm, iris T2.8. */
static kor_telemetry sample_record(void) {
    kor_telemetry data;
    kor_telemetry_init(&data);
    data.timecodeHours = 10;
    data.timecodeMinutes = 20;
    data.timecodeSeconds = 30;
    data.timecodeFrames = 12;
    data.focus = 1500;
    data.zoom = 35.0f;
    data.iris = 2.8f;
    return data;
}

static void test_defaults_and_version(void) {
    kor_telemetry data;
    kor_telemetry expected;
    kor_version version;
    char text[32];

    memset(&data, 0x5A, sizeof data);
    CHECK(kor_telemetry_init(&data) == KOR_OK);
    /* Every byte zero (the padding too) but the four fields with other defaults. */
    memset(&expected, 0, sizeof expected);
    expected.channelId = 255;
    expected.subjectId = 0xFFFF;
    expected.zeissZd.aperture = 14.0f;
    expected.radioControl.radioMode = 4;
    CHECK(memcmp(&data, &expected, sizeof data) == 0);
    CHECK(kor_telemetry_size() == sizeof(kor_telemetry));

    CHECK(kor_get_version(&version) == KOR_OK);
    CHECK(version.major == KORLIB_VERSION_MAJOR && version.minor == KORLIB_VERSION_MINOR &&
          version.patch == KORLIB_VERSION_PATCH && version.build == 0);
    sprintf(text, "%u.%u.%u", (unsigned)version.major, (unsigned)version.minor,
            (unsigned)version.patch);
    CHECK(strcmp(kor_version_string(), text) == 0);
    CHECK(KOR_C_ABI_VERSION == version.major);

    CHECK(strcmp(kor_status_name(KOR_FRAME_HEADER_ERROR), "HeaderError") == 0);
    CHECK(strcmp(kor_status_name(KOR_ERROR_BUFFER_TOO_SMALL), "KOR_ERROR_BUFFER_TOO_SMALL") == 0);
    CHECK(strcmp(kor_status_name(42), "unknown") == 0);
}

static void test_encode_vectors(void) {
    static const uint8_t udp_channel[] = {0x00, 0xFF, 0x00, 0x00, 0x00, 0x00,
                                          0x00, 0x00, 0x18, 0x00, 0xFF};
    /* 18 00 FF sums to 0x117; ~0x17 = E8; stuffed: 02 18 03 FF E8. */
    static const uint8_t serial_channel[] = {0x00, 0x02, 0x18, 0x03, 0xFF, 0xE8, 0x00};
    static const uint8_t bare_channel[] = {0x18, 0x00, 0xFF};
    static const uint8_t udp_sample[] = {0x00, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                         0x00, 0x03, 0x10, 0x20, 0x30, 0x12,
                                         0x01, 0x07, 0x00, 0x05, 0xDC, 0x00, 0x0D, 0xAC, 0x01,
                                         0x18};
    static const uint8_t serial_sample[] = {0x00, 0x01, 0x08, 0x03, 0x10, 0x20, 0x30,
                                            0x12, 0x01, 0x07, 0x03, 0x05, 0xDC, 0x06,
                                            0x0D, 0xAC, 0x01, 0x18, 0xCF, 0x00};
    /* A brand holding a zero byte and a byte above 127: 03 02 41 00 FF. */
    static const uint8_t udp_brand[] = {0x00, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x00,
                                        0x00, 0x03, 0x02, 0x41, 0x00, 0xFF};
    static const uint16_t brand[] = {KOR_MESSAGE_PRODUCT_BRAND};
    /* Reserved types add nothing; a type listed twice is sent twice. */
    static const uint16_t reserved_between[] = {KOR_MESSAGE_CHANNEL_ID, KOR_MESSAGE_ID_LIST,
                                                KOR_MESSAGE_FILE_END, KOR_MESSAGE_CHANNEL_ID};
    static const uint8_t udp_channel_twice[] = {0x00, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x00,
                                                0x00, 0x18, 0x00, 0x07, 0x18, 0x00, 0x07};
    kor_telemetry data;
    const kor_telemetry sample = sample_record();

    kor_telemetry_init(&data);
    check_encode("udp channel", &data, KOR_TRANSMISSION_UDP, kChannel, 1, udp_channel,
                 sizeof udp_channel);
    check_encode("serial channel", &data, KOR_TRANSMISSION_SERIAL, kChannel, 1, serial_channel,
                 sizeof serial_channel);
    check_encode("records alone", &data, 2, kChannel, 1, bare_channel, sizeof bare_channel);
    check_encode("udp sample", &sample, KOR_TRANSMISSION_UDP, kTimecodeAndLens, 2, udp_sample,
                 sizeof udp_sample);
    check_encode("serial sample", &sample, KOR_TRANSMISSION_SERIAL, kTimecodeAndLens, 2,
                 serial_sample, sizeof serial_sample);
    set_string(&data.productBrand, "A\0\xFF", 3);
    check_encode("brand with a zero byte", &data, KOR_TRANSMISSION_UDP, brand, 1, udp_brand,
                 sizeof udp_brand);
    data.channelId = 7;
    check_encode("reserved types", &data, KOR_TRANSMISSION_UDP, reserved_between,
                 COUNT(reserved_between), udp_channel_twice, sizeof udp_channel_twice);
    /* An empty list: the bare header; the list may then be NULL. */
    check_encode("empty list", &data, KOR_TRANSMISSION_UDP, NULL, 0, udp_channel, 8);
}

static void test_decode_vectors(void) {
    static const uint8_t channel_7[] = {0x00, 0xFF, 0x00, 0x00, 0x00, 0x00,
                                        0x00, 0x00, 0x18, 0x00, 0x07};
    static const uint8_t header_error[] = {0x00, 0xFF, 0x00, 0x00, 0x00, 0x00,
                                           0x00, 0x01, 0x18, 0x00, 0x07};
    static const uint8_t too_short[] = {0x00, 0xFF, 0x00, 0x00, 0x00,
                                        0x00, 0x00, 0x00, 0x18, 0x00};
    static const uint8_t type_28[] = {0x00, 0xFF, 0x00, 0x00, 0x00, 0x00,
                                      0x00, 0x00, 0x1C, 0x00, 0x07};
    static const uint8_t project_fps_6[] = {0x00, 0xFF, 0x00, 0x00, 0x00, 0x00,
                                            0x00, 0x00, 0x0D, 0x00, 0x06};
    static const uint8_t bad_checksum[] = {0x00, 0x02, 0x00};
    static const uint8_t serial_sample[] = {0x00, 0x01, 0x08, 0x03, 0x10, 0x20, 0x30,
                                            0x12, 0x01, 0x07, 0x03, 0x05, 0xDC, 0x06,
                                            0x0D, 0xAC, 0x01, 0x18, 0xCF, 0x00};
    /* 03 02 41 00 FF: a brand with a zero byte in it. */
    static const uint8_t brand[] = {0x00, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x00,
                                    0x00, 0x03, 0x02, 0x41, 0x00, 0xFF};
    static const struct {
        const char* name;
        const uint8_t* bytes;
        size_t size;
        int status;
    } rejected[] = {
        {"header error", header_error, sizeof header_error, KOR_FRAME_HEADER_ERROR},
        {"10-byte datagram", too_short, sizeof too_short, KOR_FRAME_LENGTH_ERROR},
        {"type 28", type_28, sizeof type_28, KOR_FRAME_BAD_MESSAGE_TYPE},
        {"project fps 6", project_fps_6, sizeof project_fps_6, KOR_FRAME_MESSAGE_REJECTED},
        {"serial checksum", bad_checksum, sizeof bad_checksum, KOR_FRAME_CHECKSUM_ERROR},
    };
    kor_device* device = NULL;
    kor_telemetry state;
    kor_telemetry before;
    uint8_t frame[KOR_MAX_FRAME_SIZE];
    size_t size = 0;
    size_t i;

    CHECK(kor_device_create(&device) == KOR_OK && device != NULL);
    if (device == NULL) {
        return;
    }
    CHECK(kor_device_update(device, channel_7, sizeof channel_7) == KOR_FRAME_SAME_TIMECODE);
    CHECK(kor_device_get_state(device, &state) == KOR_OK && state.channelId == 7);

    /* A rejected frame changes nothing. */
    for (i = 0; i < COUNT(rejected); ++i) {
        const int status = kor_device_update(device, rejected[i].bytes, rejected[i].size);
        kor_device_get_state(device, &before);
        if (status != rejected[i].status || before.channelId != 7) {
            printf("decode %s: %s, channel %u\n", rejected[i].name, kor_status_name(status),
                   (unsigned)before.channelId);
            ++failures;
        }
    }

    CHECK(kor_device_update(device, serial_sample, sizeof serial_sample) ==
          KOR_FRAME_NEW_TIMECODE);
    CHECK(kor_device_get_state(device, &state) == KOR_OK);
    CHECK(state.timecodeHours == 10 && state.timecodeMinutes == 20 &&
          state.timecodeSeconds == 30 && state.timecodeFrames == 12 && !state.recordFlag);
    CHECK(state.focus == 1500 && state.focusValid == 1 && state.zoomValid == 1);
    CHECK(distance(state.zoom, 35.0) < 1e-4 && distance(state.iris, 2.8) < 1e-4);
    CHECK(state.channelId == 255); /* the frame carried none */
    /* Re-encoding the decoded state gives the frame back. */
    CHECK(kor_device_encode_state(device, KOR_TRANSMISSION_SERIAL, kTimecodeAndLens, 2, frame,
                                  sizeof frame, &size) == KOR_OK);
    CHECK(size == sizeof serial_sample && memcmp(frame, serial_sample, size) == 0);
    /* The same timecode again. */
    CHECK(kor_device_update(device, serial_sample, sizeof serial_sample) ==
          KOR_FRAME_SAME_TIMECODE);

    CHECK(kor_device_update(device, brand, sizeof brand) == KOR_FRAME_SAME_TIMECODE);
    CHECK(kor_device_get_state(device, &state) == KOR_OK);
    CHECK(state.productBrand.length == 3 && memcmp(state.productBrand.bytes, "A\0\xFF", 3) == 0);
    CHECK(state.productInfoComplete == 0);
    kor_device_destroy(device);

    /* A device that starts from a given state. */
    state = sample_record();
    state.focus = 0x123456;
    device = NULL;
    CHECK(kor_device_create_with_state(&state, &device) == KOR_OK);
    if (device != NULL) {
        static const uint8_t lens[] = {0x01, 0x07, 0x12, 0x34, 0x56, 0x00, 0x0D, 0xAC, 0x01, 0x18};
        static const uint16_t basic_lens[] = {KOR_MESSAGE_BASIC_LENS};
        CHECK(kor_device_encode_state(device, 2, basic_lens, 1, frame, sizeof frame, &size) ==
              KOR_OK);
        CHECK(size == sizeof lens && memcmp(frame, lens, size) == 0);
        kor_device_destroy(device);
    }
    kor_device_destroy(NULL);
}

/* The reports one kor_device_update_report call handed out, with the channel the state held
 * right after each. */
#define MAX_SEEN 16
typedef struct seen_reports {
    kor_device* device;
    size_t count;
    kor_frame_report reports[MAX_SEEN];
    unsigned channels[MAX_SEEN];
} seen_reports;

static void remember(const kor_frame_report* report, void* context) {
    seen_reports* seen = (seen_reports*)context;
    kor_telemetry state;
    if (seen->count < MAX_SEEN) {
        seen->reports[seen->count] = *report;
        kor_device_get_state(seen->device, &state);
        seen->channels[seen->count] = state.channelId;
    }
    ++seen->count;
}

/* One expected report: status, channel after it, and up to four record types. */
typedef struct expected_report {
    int status;
    unsigned channel;
    uint16_t count;
    uint16_t messages[4];
} expected_report;

static int same_report(const kor_frame_report* got, unsigned channel,
                       const expected_report* want) {
    uint16_t i;
    if (got->status != want->status || got->messageCount != want->count ||
        channel != want->channel || got->padding0[0] != 0 || got->padding0[1] != 0) {
        return 0;
    }
    for (i = 0; i < KOR_MAX_FRAME_MESSAGES; ++i) {
        if (got->messages[i] != (i < want->count ? want->messages[i] : 0)) {
            return 0;
        }
    }
    return 1;
}

static void test_frame_reports(void) {
    /* Garbage before the first delimiter; timecode and lens; a repeated delimiter; a frame
     * with a bad checksum; ChannelId 7 twice; garbage between delimiters; type 28; ChannelId
     * 9. Written by hand: 18 00 07 18 00 07 sums to 0x3E, checksum C1. */
    static const uint8_t stream[] = {
        0x41, 0x42,
        0x00, 0x01, 0x08, 0x03, 0x10, 0x20, 0x30, 0x12, 0x01, 0x07, 0x03, 0x05, 0xDC, 0x06,
        0x0D, 0xAC, 0x01, 0x18, 0xCF, 0x00,
        0x00,
        0x02, 0x18, 0x03, 0x07, 0xE1, 0x00,
        0x02, 0x18, 0x03, 0x07, 0x18, 0x03, 0x07, 0xC1, 0x00,
        0x41, 0x42, 0x00,
        0x05, 0x1C, 0x01, 0x01, 0x00,
        0x02, 0x18, 0x03, 0x09, 0xDE, 0x00};
    static const expected_report expected[] = {
        {KOR_FRAME_NEW_TIMECODE, 255, 2, {KOR_MESSAGE_TIMECODE, KOR_MESSAGE_BASIC_LENS}},
        {KOR_FRAME_CHECKSUM_ERROR, 255, 0, {0}},
        {KOR_FRAME_SAME_TIMECODE, 7, 2, {KOR_MESSAGE_CHANNEL_ID, KOR_MESSAGE_CHANNEL_ID}},
        {KOR_FRAME_FRAMING_ERROR, 7, 0, {0}},
        {KOR_FRAME_BAD_MESSAGE_TYPE, 7, 0, {0}},
        {KOR_FRAME_SAME_TIMECODE, 9, 1, {KOR_MESSAGE_CHANNEL_ID}},
    };
    static const uint8_t datagram[] = {0x00, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                       0x18, 0x00, 0x05, 0x1B, 0x00, 0x2A};
    static const uint8_t header_error[] = {0x00, 0xFF, 0x00, 0x01, 0x00, 0x00,
                                           0x00, 0x00, 0x18, 0x00, 0x07};
    seen_reports seen;
    kor_frame_report last;
    size_t split;
    size_t i;

    /* Cut in two at every position: the same reports in the same order, and each call
     * returns its last report's status. */
    for (split = 0; split <= sizeof stream; ++split) {
        size_t total = 0;
        int ok = 1;
        int piece;
        memset(&seen, 0, sizeof seen);
        if (kor_device_create(&seen.device) != KOR_OK) {
            ++failures;
            return;
        }
        for (piece = 0; piece < 2; ++piece) {
            const uint8_t* from = piece == 0 ? stream : stream + split;
            const size_t size = piece == 0 ? split : sizeof stream - split;
            const size_t before = seen.count;
            const int status = kor_device_update_report(seen.device, from, size, remember, &seen);
            const int want = seen.count > before && seen.count <= MAX_SEEN
                                 ? seen.reports[seen.count - 1].status
                                 : KOR_FRAME_INCOMPLETE;
            CHECK(kor_device_last_frame(seen.device, &last) == KOR_OK);
            ok = ok && status == want && last.status == want;
        }
        total = seen.count;
        ok = ok && total == COUNT(expected);
        for (i = 0; ok && i < COUNT(expected); ++i) {
            ok = same_report(&seen.reports[i], seen.channels[i], &expected[i]);
        }
        if (!ok) {
            printf("reports of the stream split at %u: %u reports\n", (unsigned)split,
                   (unsigned)total);
            ++failures;
        }
        kor_device_destroy(seen.device);
    }

    /* A datagram: exactly one report; kor_device_last_frame gives it too. */
    memset(&seen, 0, sizeof seen);
    CHECK(kor_device_create(&seen.device) == KOR_OK);
    CHECK(kor_device_update_report(seen.device, datagram, sizeof datagram, remember, &seen) ==
          KOR_FRAME_SAME_TIMECODE);
    CHECK(seen.count == 1);
    {
        const expected_report channel_and_subject = {
            KOR_FRAME_SAME_TIMECODE, 5, 2, {KOR_MESSAGE_CHANNEL_ID, KOR_MESSAGE_SUBJECT_ID}};
        CHECK(same_report(&seen.reports[0], seen.channels[0], &channel_and_subject));
        memset(&last, 0x5A, sizeof last);
        CHECK(kor_device_last_frame(seen.device, &last) == KOR_OK);
        CHECK(same_report(&last, 5, &channel_and_subject));
    }
    /* A refused datagram reports no types; the plain update keeps the last report too. */
    CHECK(kor_device_update(seen.device, header_error, sizeof header_error) ==
          KOR_FRAME_HEADER_ERROR);
    CHECK(kor_device_last_frame(seen.device, &last) == KOR_OK);
    CHECK(last.status == KOR_FRAME_HEADER_ERROR && last.messageCount == 0);
    /* A call that finishes nothing. */
    CHECK(kor_device_update_report(seen.device, stream, 5, remember, &seen) ==
          KOR_FRAME_INCOMPLETE);
    CHECK(seen.count == 1);
    CHECK(kor_device_last_frame(seen.device, &last) == KOR_OK);
    CHECK(last.status == KOR_FRAME_INCOMPLETE && last.messageCount == 0);

    CHECK(kor_device_update_report(NULL, datagram, 1, remember, &seen) == KOR_ERROR_NULL_POINTER);
    CHECK(kor_device_update_report(seen.device, NULL, 1, remember, &seen) ==
          KOR_ERROR_NULL_POINTER);
    CHECK(kor_device_update_report(seen.device, datagram, sizeof datagram, NULL, &seen) ==
          KOR_ERROR_NULL_POINTER);
    CHECK(kor_device_update_report(seen.device, NULL, 0, remember, NULL) == KOR_FRAME_INCOMPLETE);
    CHECK(seen.count == 1);
    CHECK(kor_device_last_frame(NULL, &last) == KOR_ERROR_NULL_POINTER);
    CHECK(kor_device_last_frame(seen.device, NULL) == KOR_ERROR_NULL_POINTER);
    kor_device_destroy(seen.device);
}

static void test_names(void) {
    CHECK(strcmp(kor_message_type_name(KOR_MESSAGE_TIMECODE), "Timecode") == 0);
    CHECK(strcmp(kor_message_type_name(KOR_MESSAGE_RAW_LENS_ENCODER_WITH_MASK),
                 "RawLensEncoderWithMask") == 0);
    CHECK(strcmp(kor_message_type_name(KOR_MESSAGE_FILE_TRANSFER_INFORMATION),
                 "FileTransferInformation") == 0);
    CHECK(strcmp(kor_message_type_name(KOR_MESSAGE_SUBJECT_ID), "SubjectId") == 0);
    CHECK(strcmp(kor_message_type_name(28), "Unknown") == 0);
    CHECK(strcmp(kor_message_type_name(-1), "Unknown") == 0);
    CHECK(strcmp(kor_status_name(KOR_FRAME_NEW_TIMECODE), "NewTimecode") == 0);
    CHECK(strcmp(kor_status_name(KOR_FRAME_PAYLOAD_TOO_LONG), "PayloadTooLong") == 0);
    CHECK(strcmp(kor_status_name(10), "unknown") == 0);
}

static void test_lens(void) {
    kor_image_height_characteristics flat;
    kor_third_order_radial_params params = {0.1, 0.0, 0.0};
    kor_third_order_radial_params fit = {1.0, 1.0, 1.0};
    double radius = 0.0;
    double r = 1.0;
    int i;

    /* Ten steps of r <- 1 / (1 + 0.1 r^2) from r = 1. */
    for (i = 0; i < 10; ++i) {
        r = 1.0 / (1.0 + 0.1 * r * r);
    }
    CHECK(kor_undistort_point(1.0, &params, &radius) == KOR_OK && distance(radius, r) < 1e-12);
    CHECK(distance(radius, 0.92169899) < 1e-8);

    memset(&flat, 0, sizeof flat);
    flat.value_0 = 50.0f; /* not read */
    CHECK(kor_lens_image_height_coeffs(&flat, 21.4, 0.0, &fit) == KOR_OK);
    CHECK(fit.k1 == 0.0 && fit.k2 == 0.0 && fit.k3 == 0.0);
    fit.k1 = 1.0;
    CHECK(kor_image_height_aberration_third_order_approx(&flat, 21.4, &fit) == KOR_OK);
    CHECK(fit.k1 == 0.0 && fit.k2 == 0.0 && fit.k3 == 0.0);
}

/* Every pointer argument NULL in turn: the status says so and no output is written. */
static void test_null_pointers(void) {
    kor_telemetry data;
    kor_device* device = NULL;
    kor_device* untouched = (kor_device*)&data;
    uint8_t frame[KOR_MAX_FRAME_SIZE];
    size_t size = 12345;
    kor_image_height_characteristics c;
    kor_third_order_radial_params p = {0.0, 0.0, 0.0};
    double radius = 0.0;
    const int E = KOR_ERROR_NULL_POINTER;

    kor_telemetry_init(&data);
    memset(&c, 0, sizeof c);
    CHECK(kor_device_create(&device) == KOR_OK);

    CHECK(kor_telemetry_init(NULL) == E);
    CHECK(kor_get_version(NULL) == E);
    CHECK(kor_encode(NULL, 0, kChannel, 1, frame, sizeof frame, &size) == E);
    CHECK(kor_encode(&data, 0, NULL, 1, frame, sizeof frame, &size) == E);
    CHECK(kor_encode(&data, 0, kChannel, 1, NULL, sizeof frame, &size) == E);
    CHECK(kor_encode(&data, 0, kChannel, 1, frame, sizeof frame, NULL) == E);
    CHECK(size == 12345);
    CHECK(kor_device_create(NULL) == E);
    CHECK(kor_device_create_with_state(NULL, &untouched) == E && untouched == NULL);
    CHECK(kor_device_create_with_state(&data, NULL) == E);
    CHECK(kor_device_update(NULL, frame, 1) == E);
    CHECK(kor_device_update(device, NULL, 1) == E);
    CHECK(kor_device_update(device, NULL, 0) == KOR_FRAME_INCOMPLETE);
    CHECK(kor_device_get_state(NULL, &data) == E);
    CHECK(kor_device_get_state(device, NULL) == E);
    CHECK(kor_device_encode_state(NULL, 0, kChannel, 1, frame, sizeof frame, &size) == E);
    CHECK(kor_device_encode_state(device, 0, NULL, 1, frame, sizeof frame, &size) == E);
    CHECK(kor_device_encode_state(device, 0, kChannel, 1, NULL, sizeof frame, &size) == E);
    CHECK(kor_device_encode_state(device, 0, kChannel, 1, frame, sizeof frame, NULL) == E);
    CHECK(size == 12345);
    CHECK(kor_image_height_aberration_third_order_approx(NULL, 1.0, &p) == E);
    CHECK(kor_image_height_aberration_third_order_approx(&c, 1.0, NULL) == E);
    CHECK(kor_lens_image_height_coeffs(NULL, 1.0, 0.0, &p) == E);
    CHECK(kor_lens_image_height_coeffs(&c, 1.0, 0.0, NULL) == E);
    CHECK(kor_undistort_point(1.0, NULL, &radius) == E);
    CHECK(kor_undistort_point(1.0, &p, NULL) == E);
    kor_device_destroy(device);
}

/* Buffers one byte short, size queries and values out of range. */
static void test_buffers_and_ranges(void) {
    kor_telemetry data = sample_record();
    kor_device* device = NULL;
    uint8_t frame[KOR_MAX_FRAME_SIZE];
    size_t needed = 0;
    size_t size = 0;
    size_t i;

    /* Asking with no buffer gives the size; one byte short writes nothing. */
    CHECK(kor_encode(&data, KOR_TRANSMISSION_UDP, kTimecodeAndLens, 2, NULL, 0, &needed) ==
          KOR_ERROR_BUFFER_TOO_SMALL);
    CHECK(needed == 24);
    memset(frame, 0xAA, sizeof frame);
    CHECK(kor_encode(&data, KOR_TRANSMISSION_UDP, kTimecodeAndLens, 2, frame, needed - 1,
                     &size) == KOR_ERROR_BUFFER_TOO_SMALL);
    CHECK(size == needed);
    for (i = 0; i < sizeof frame; ++i) {
        if (frame[i] != 0xAA) {
            printf("byte %u written into a buffer that was too small\n", (unsigned)i);
            ++failures;
            break;
        }
    }
    CHECK(kor_encode(&data, KOR_TRANSMISSION_UDP, kTimecodeAndLens, 2, frame, needed, &size) ==
          KOR_OK && size == needed && frame[needed] == 0xAA);

    CHECK(kor_device_create_with_state(&data, &device) == KOR_OK);
    CHECK(kor_device_encode_state(device, KOR_TRANSMISSION_SERIAL, kTimecodeAndLens, 2, frame,
                                  19, &size) == KOR_ERROR_BUFFER_TOO_SMALL);
    CHECK(size == 20);
    CHECK(kor_device_encode_state(device, 256, kChannel, 1, frame, sizeof frame, &size) ==
          KOR_ERROR_INVALID_ARGUMENT);
    kor_device_destroy(device);

    /* A string cannot be longer than its array; a transmission type is one byte. */
    data.clipName.length = KOR_STRING_CAPACITY + 1;
    CHECK(kor_encode(&data, 0, kChannel, 1, frame, sizeof frame, &size) ==
          KOR_ERROR_INVALID_ARGUMENT);
    device = (kor_device*)&data;
    CHECK(kor_device_create_with_state(&data, &device) == KOR_ERROR_INVALID_ARGUMENT &&
          device == NULL);
    data.clipName.length = KOR_STRING_CAPACITY;
    CHECK(kor_encode(&data, 0, kChannel, 1, frame, sizeof frame, &size) == KOR_OK);
    CHECK(kor_encode(&data, -1, kChannel, 1, frame, sizeof frame, &size) ==
          KOR_ERROR_INVALID_ARGUMENT);
    CHECK(kor_encode(&data, 256, kChannel, 1, frame, sizeof frame, &size) ==
          KOR_ERROR_INVALID_ARGUMENT);
}

int main(void) {
    test_defaults_and_version();
    test_encode_vectors();
    test_decode_vectors();
    test_frame_reports();
    test_names();
    test_lens();
    test_null_pointers();
    test_buffers_and_ranges();
    if (failures != 0) {
        printf("%d checks failed\n", failures);
        return 1;
    }
    printf("all checks passed\n");
    return 0;
}
