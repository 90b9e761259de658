/* KorLib's C interface: the telemetry record, the encoder, the decoder and the lens model
 * for C (C99 and later), C++ and any language that can call C functions.
 *
 * The C interface has a stable binary interface that follows the library's SOVERSION
 * (libKorLib.so.1): within one major version, functions are only added, never changed or
 * removed, and the layout of every struct below stays exactly as the static assertions at
 * the end of this file pin it (the same on every 32- and 64-bit platform: every padding
 * byte is an explicit member).
 *
 * Conventions:
 *  - Functions return an int status: KOR_OK (0) or a negative KOR_ERROR_* code.
 *    kor_device_update and kor_device_update_report return a kor_frame_status (0 to 9) or
 *    a negative code.
 *  - Every pointer argument is checked; NULL gives KOR_ERROR_NULL_POINTER and changes
 *    nothing. The exceptions are stated (kor_device_destroy accepts NULL, and a byte span
 *    or a list of message types may be NULL when its length is 0).
 *  - No C++ exception leaves the library: running out of memory is KOR_ERROR_OUT_OF_MEMORY.
 *  - Strings are byte arrays of 65 bytes with a length; they may hold any byte, including
 *    zero, and carry no terminator.
 *  - A kor_device must not be used by two threads at once; separate devices may.
 *  - Callbacks run on the calling thread, inside the call they were passed to; they must not
 *    throw C++ exceptions or longjmp out of the library.
 *
 *   kor_device* device = NULL;
 *   kor_telemetry state;
 *   if (kor_device_create(&device) == KOR_OK) {
 *       if (kor_device_update(device, datagram, datagram_size) <= KOR_FRAME_SAME_TIMECODE &&
 *           kor_device_get_state(device, &state) == KOR_OK) {
 *           printf("focus %u mm\n", (unsigned)state.focus);
 *       }
 *       kor_device_destroy(device);
 *   }
 */
#ifndef KOR_KOR_C_H
#define KOR_KOR_C_H

#include <stddef.h>
#include <stdint.h>

#include <kor/export.h>
#include <kor/version.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The version of the C binary interface: the library's major version (its SOVERSION). */
#define KOR_C_ABI_VERSION KORLIB_VERSION_MAJOR

/* Bytes a string of the record holds at most (what one message carries). */
#define KOR_STRING_CAPACITY 65

/* A buffer of this size holds every UDP or Serial frame that the encoder writes. */
#define KOR_MAX_FRAME_SIZE 261

/* Room for record types in a kor_frame_report. An applied frame holds at most 84 records. */
#define KOR_MAX_FRAME_MESSAGES 128

/* ---- Statuses ------------------------------------------------------------------------------- */

enum kor_status {
    KOR_OK = 0,
    KOR_ERROR_NULL_POINTER = -1,     /* a pointer argument was NULL */
    KOR_ERROR_BUFFER_TOO_SMALL = -2, /* the output buffer cannot hold the frame */
    KOR_ERROR_OUT_OF_MEMORY = -3,    /* the library could not allocate memory */
    KOR_ERROR_INVALID_ARGUMENT = -4  /* a value outside its range (a string length over
                                        65, a transmission type over 255) */
};

/* Outcome of the last frame kor_device_update finished: the values of
 * Kor::Protocol::FrameStatus. */
enum kor_frame_status {
    KOR_FRAME_NEW_TIMECODE = 0,     /* frame applied; its timecode differs from before */
    KOR_FRAME_SAME_TIMECODE = 1,    /* frame applied; timecode unchanged */
    KOR_FRAME_INCOMPLETE = 2,       /* serial input: no frame completed */
    KOR_FRAME_CHECKSUM_ERROR = 3,   /* serial frame whose checksum does not match */
    KOR_FRAME_FRAMING_ERROR = 4,    /* serial frame whose stuffing is broken */
    KOR_FRAME_PAYLOAD_TOO_LONG = 5, /* a record's payload exceeds 65 bytes */
    KOR_FRAME_BAD_MESSAGE_TYPE = 6, /* a record's type byte is above 27 */
    KOR_FRAME_MESSAGE_REJECTED = 7, /* a record's payload was refused */
    KOR_FRAME_LENGTH_ERROR = 8,     /* serial frame or datagram of a wrong length */
    KOR_FRAME_HEADER_ERROR = 9      /* datagram whose bytes 3 to 7 are not all zero */
};

/* Framing of an encoded frame: the values of Kor::Protocol::TransmissionType. Any other
 * value from 2 to 255 gives the records alone. */
enum kor_transmission_type {
    KOR_TRANSMISSION_UDP = 0,   /* 8-byte header 00 FF 00 00 00 00 00 00, then the records */
    KOR_TRANSMISSION_SERIAL = 1 /* records and checksum, byte-stuffed, between 0x00 bytes */
};

/* Message type numbers: the values of Kor::Protocol::MessageType. Lists of message types
 * are passed as arrays of uint16_t holding these values. 17 to 22 are reserved: the
 * encoder skips them and the decoder rejects them. */
enum kor_message_type {
    KOR_MESSAGE_TIMECODE = 0,
    KOR_MESSAGE_BASIC_LENS = 1,
    KOR_MESSAGE_PTP_TIMESTAMP = 2,
    KOR_MESSAGE_PRODUCT_BRAND = 3,
    KOR_MESSAGE_PRODUCT_NAME = 4,
    KOR_MESSAGE_PRODUCT_SERIAL = 5,
    KOR_MESSAGE_LENS_PROPERTIES = 6,
    KOR_MESSAGE_POSITIONAL_DATA = 7,
    KOR_MESSAGE_AXES_DATA = 8,
    KOR_MESSAGE_TICK_COUNT = 9,
    KOR_MESSAGE_LENS_MANUFACTURER = 10,
    KOR_MESSAGE_LENS_NAME = 11,
    KOR_MESSAGE_LENS_SERIAL = 12,
    KOR_MESSAGE_PROJECT_FPS = 13,
    KOR_MESSAGE_CLIP_NAME = 14,
    KOR_MESSAGE_RAW_LENS_ENCODER_WITH_MASK = 15,
    KOR_MESSAGE_ZEISS_ZD_DATA = 16,
    KOR_MESSAGE_ID_LIST = 17,
    KOR_MESSAGE_FILE_END = 18,
    KOR_MESSAGE_FILE_TRANSFER_NAME = 19,
    KOR_MESSAGE_FILE_TRANSFER_INFORMATION = 20,
    KOR_MESSAGE_FILE_TRANSFER_DATA = 21,
    KOR_MESSAGE_FILE_TRANSFER_MD5 = 22,
    KOR_MESSAGE_RADIO_CONTROL = 23,
    KOR_MESSAGE_CHANNEL_ID = 24,
    KOR_MESSAGE_SENSOR_SIZE = 25,
    KOR_MESSAGE_RAW_AXES_ENCODER_WITH_MASK = 26,
    KOR_MESSAGE_SUBJECT_ID = 27
};

/* ---- The telemetry record ------------------------------------------------------------------- */

/* A byte string of at most 65 bytes; bytes past `length` are not used. */
typedef struct kor_string {
    uint8_t length; /* 0 to 65 */
    uint8_t bytes[KOR_STRING_CAPACITY];
} kor_string;

/* Lens data block carried by ZeissZdData (Kor::Protocol::TelemetryData::ZeissZdValues). */
typedef struct kor_zeiss_zd_values {
    uint32_t focusDistance;
    float aperture;
    float horizontalFieldOfView;
    int16_t entrancePupilPosition;
    uint8_t padding0[2];
    float shading[6];
    float radialDistortion[6];
} kor_zeiss_zd_values;

/* Block carried by RadioControl (Kor::Protocol::TelemetryData::RadioControlValues). */
typedef struct kor_radio_control_values {
    uint32_t radioValue;
    uint8_t radioParamA;
    uint8_t radioParamB;
    uint8_t radioMode;
    uint8_t radioParamC;
} kor_radio_control_values;

/* One complete state: the fields of Kor::Protocol::TelemetryData under the same names, in
 * the same order. Flags are bytes (0 false, anything else true; the library writes 0 or
 * 1). Fill it with kor_telemetry_init before setting fields: the defaults are not all 0.
 * The paddingN members are never read; the library writes them as 0. */
typedef struct kor_telemetry {
    uint8_t focusValid;
    uint8_t zoomValid;
    uint8_t irisValid;
    uint8_t minFocalLengthValid;
    uint8_t maxFocalLengthValid;
    uint8_t minIrisValid;
    uint8_t maxIrisValid;
    uint8_t lensPropertiesExtraValid;
    uint8_t positionXValid;
    uint8_t positionYValid;
    uint8_t positionZValid;
    uint8_t rollValid;
    uint8_t pitchValid;
    uint8_t yawValid;
    uint8_t rawFocusEncoderValid;
    uint8_t rawZoomEncoderValid;
    uint8_t rawIrisEncoderValid;
    uint8_t productInfoComplete;
    uint8_t lensInfoComplete;
    uint8_t clipNameReceived;
    uint8_t recordFlag;

    uint8_t timecodeHours;
    uint8_t timecodeMinutes;
    uint8_t timecodeSeconds;
    uint8_t timecodeFrames;
    uint8_t padding0[3];

    uint32_t focus; /* mm */
    float zoom;     /* mm */
    float iris;     /* T-stop */

    uint64_t ptpSeconds; /* 48 bits travel */
    uint32_t ptpNanoseconds;

    kor_string productBrand;
    kor_string productName;
    kor_string productSerial;

    uint8_t focalRangeFlags;
    uint8_t padding1;
    float minFocalLength;
    float maxFocalLength;
    float minIris;
    float maxIris;
    uint8_t lensPropertiesExtra;
    uint8_t padding2[3];

    float positionX; /* mm */
    float positionY;
    float positionZ;
    float roll; /* degrees */
    float pitch;
    float yaw;

    uint64_t tickCount;
    uint8_t tickCountType; /* 0 seconds, 1 milliseconds, 2 microseconds */

    kor_string lensManufacturer;
    kor_string lensName;
    kor_string lensSerial;

    uint8_t projectFps; /* 0 none, 1 23.976, 2 24, 3 25, 4 29.97, 5 30 */
    kor_string clipName;

    uint16_t rawFocusEncoder;
    uint16_t rawZoomEncoder;
    uint16_t rawIrisEncoder;

    kor_zeiss_zd_values zeissZd;
    kor_radio_control_values radioControl;

    uint8_t channelId; /* 255 = none */
    uint8_t padding3[3];

    float sensorWidth; /* mm */
    float sensorHeight;
    uint16_t clipWidth; /* pixels */
    uint16_t clipHeight;
    kor_string sensorName;
    uint8_t padding4[2];

    uint32_t rawAxesEncoders[3]; /* 24 bits travel */
    uint32_t subjectId;          /* 16 bits travel; 0xFFFF = none */
    uint8_t padding5[4];
} kor_telemetry;

/* The library's version (Kor::Version). */
typedef struct kor_version {
    uint8_t major;
    uint8_t minor;
    uint8_t patch;
    uint8_t padding0[5];
    uint64_t build;
} kor_version;

/* What the decoder tells about one frame it finished (Kor::Protocol::FrameReport): a
 * datagram, a serial frame closed by its delimiter, or a serial frame that outgrew 256
 * stuffed bytes (KOR_FRAME_LENGTH_ERROR). `messages` holds the frame's record types in frame
 * order (kor_message_type values, duplicates included) when the frame was applied
 * (KOR_FRAME_NEW_TIMECODE or KOR_FRAME_SAME_TIMECODE); for any other status messageCount
 * is 0. The entries past messageCount and the padding are 0. */
typedef struct kor_frame_report {
    int32_t status; /* a kor_frame_status */
    uint16_t messageCount;
    uint8_t padding0[2];
    uint16_t messages[KOR_MAX_FRAME_MESSAGES];
} kor_frame_report;

/* Called once per frame that kor_device_update_report finishes, in order. The report lives
 * only during the call: copy what is needed. The callback may read the decoder
 * (kor_device_get_state gives the state right after this frame, kor_device_last_frame this
 * report) but should not update it. */
typedef void (*kor_frame_callback)(const kor_frame_report* report, void* context);

/* Lens model input (Kor::ImageHeightCharacteristics): deviation of the image height in
 * percent at the heights 5, 10, 15, 18 and 21.4; value_0 is not read. */
typedef struct kor_image_height_characteristics {
    float value_0;
    float value_5;
    float value_10;
    float value_15;
    float value_18;
    float value_21_4;
} kor_image_height_characteristics;

/* Lens model output (Kor::ThirdOrderRadialParams): D(r) = k1 r^2 + k2 r^4 + k3 r^6. */
typedef struct kor_third_order_radial_params {
    double k1;
    double k2;
    double k3;
} kor_third_order_radial_params;

/* ---- Version -------------------------------------------------------------------------------- */

/* The version of the loaded library (which may be newer than this header). */
KOR_API int kor_get_version(kor_version* version);

/* The version of the loaded library as text, "1.6.0"; a static string. */
KOR_API const char* kor_version_string(void);

/* sizeof(kor_telemetry) as the library was built: bindings that mirror the struct check
 * their layout against it. */
KOR_API size_t kor_telemetry_size(void);

/* The name of a status: a kor_frame_status value gives the FrameStatus enumerator name
 * ("NewTimecode", ...), a negative code its KOR_ERROR_* name ("KOR_ERROR_NULL_POINTER"),
 * KOR_OK "KOR_OK" (0 is also NewTimecode: 0 gives "NewTimecode"), anything else
 * "unknown". A static string, never NULL. */
KOR_API const char* kor_status_name(int status);

/* The name of a kor_message_type value as the Kor::Protocol::MessageType enumerator is
 * spelled ("BasicLens"; reserved types too, "IdList"); "Unknown" for any other value. A
 * static string, never NULL. */
KOR_API const char* kor_message_type_name(int message_type);

/* ---- The record and the encoder ------------------------------------------------------------- */

/* Sets every field to the record's defaults: channelId 255, subjectId 0xFFFF,
 * zeissZd.aperture 14, radioControl.radioMode 4, everything else 0. */
KOR_API int kor_telemetry_init(kor_telemetry* data);

/* Encodes `data` as one frame holding one record per listed type, in list order (as
 * TelemetryData::Encode; types without an encoder are skipped). `message_types` holds
 * `message_type_count` kor_message_type values and may be NULL when the count is 0.
 *
 * On KOR_OK the frame is in `buffer` and *frame_size is its length. When the frame does not
 * fit in `buffer_size` bytes the result is KOR_ERROR_BUFFER_TOO_SMALL, *frame_size is the
 * size needed and `buffer` is not written; `buffer` may be NULL when `buffer_size` is 0, to
 * ask for the size. A string length over 65 or a transmission type over 255 gives
 * KOR_ERROR_INVALID_ARGUMENT. */
KOR_API int kor_encode(const kor_telemetry* data, int transmission_type,
                       const uint16_t* message_types, size_t message_type_count, uint8_t* buffer,
                       size_t buffer_size, size_t* frame_size);

/* ---- The decoder ---------------------------------------------------------------------------- */

/* A decoder (Kor::Protocol::Device); opaque. */
typedef struct kor_device kor_device;

/* Creates a decoder whose state holds the defaults; *device receives it (NULL on error). */
KOR_API int kor_device_create(kor_device** device);

/* Creates a decoder whose state is a copy of `initial_state`. */
KOR_API int kor_device_create_with_state(const kor_telemetry* initial_state, kor_device** device);

/* Destroys a decoder; NULL is allowed and does nothing. */
KOR_API void kor_device_destroy(kor_device* device);

/* Feeds received bytes (see Device::Update): input that starts 00 FF 00 is one whole
 * datagram, anything else the next chunk of a serial stream. Returns the kor_frame_status
 * of the last frame finished in this call (KOR_FRAME_INCOMPLETE if none), or a negative
 * code. `data` may be NULL when `size` is 0. The bytes are read in place, not copied. */
KOR_API int kor_device_update(kor_device* device, const uint8_t* data, size_t size);

/* kor_device_update that also calls `on_frame` (with `context`) for each frame it finishes,
 * in order: once for a datagram; for a serial chunk once per frame or overflow the chunk
 * finishes (none, one or many; a frame split across chunks is reported by the call that
 * brings its closing delimiter). Returns the status of the last report, KOR_FRAME_INCOMPLETE
 * if there was none, or a negative code (NULL `device` or `on_frame`, or NULL `data` with a
 * non-zero `size`: KOR_ERROR_NULL_POINTER, and no call). `context` may be anything.
 *
 *   static void on_frame(const kor_frame_report* report, void* context) {
 *       uint16_t i;
 *       for (i = 0; i < report->messageCount; ++i) {
 *           printf("%s ", kor_message_type_name(report->messages[i]));
 *       }
 *       printf("%s\n", kor_status_name(report->status));
 *   }
 *   kor_device_update_report(device, chunk, chunk_size, on_frame, NULL);
 */
KOR_API int kor_device_update_report(kor_device* device, const uint8_t* data, size_t size,
                                     kor_frame_callback on_frame, void* context);

/* Copies into *report the report of the last frame that the latest kor_device_update or
 * kor_device_update_report call finished; status KOR_FRAME_INCOMPLETE and no messages when
 * that call finished none (or there was none yet). Its status is what that call returned. */
KOR_API int kor_device_last_frame(const kor_device* device, kor_frame_report* report);

/* Copies the decoder's current state into *state. */
KOR_API int kor_device_get_state(const kor_device* device, kor_telemetry* state);

/* Encodes the decoder's current state, as kor_encode does for a record. */
KOR_API int kor_device_encode_state(const kor_device* device, int transmission_type,
                                    const uint16_t* message_types, size_t message_type_count,
                                    uint8_t* buffer, size_t buffer_size, size_t* frame_size);

/* ---- The lens model ------------------------------------------------------------------------- */

/* Kor::image_height_aberration_third_order_approx: the least-squares fit with precomputed
 * factors. */
KOR_API int kor_image_height_aberration_third_order_approx(
    const kor_image_height_characteristics* characteristics, double normalisation_radius,
    kor_third_order_radial_params* params);

/* Kor::lens_image_height_coeffs: the same fit by Householder QR, with an extra sample of
 * target 1 at `extra_sample_height` (0 adds nothing). */
KOR_API int kor_lens_image_height_coeffs(const kor_image_height_characteristics* characteristics,
                                         double normalisation_radius, double extra_sample_height,
                                         kor_third_order_radial_params* params);

/* Kor::undistort_point: *undistorted_radius receives the undistorted radius. */
KOR_API int kor_undistort_point(double distorted_radius,
                                const kor_third_order_radial_params* params,
                                double* undistorted_radius);

/* ---- Layout --------------------------------------------------------------------------------- */

/* The layout of every struct, pinned: a change here is a change of the binary interface. */
#if defined(__cplusplus)
#define KOR_C_LAYOUT(name, condition) static_assert(condition, "kor_c.h layout: " #name)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define KOR_C_LAYOUT(name, condition) _Static_assert(condition, "kor_c.h layout: " #name)
#else
#define KOR_C_LAYOUT(name, condition) typedef char kor_c_layout_##name[(condition) ? 1 : -1]
#endif
#define KOR_C_AT(type, field, offset) \
    KOR_C_LAYOUT(type##_##field, offsetof(type, field) == (offset))

KOR_C_LAYOUT(kor_string_size, sizeof(kor_string) == 66);
KOR_C_AT(kor_string, bytes, 1);

KOR_C_LAYOUT(kor_zeiss_zd_values_size, sizeof(kor_zeiss_zd_values) == 64);
KOR_C_AT(kor_zeiss_zd_values, aperture, 4);
KOR_C_AT(kor_zeiss_zd_values, horizontalFieldOfView, 8);
KOR_C_AT(kor_zeiss_zd_values, entrancePupilPosition, 12);
KOR_C_AT(kor_zeiss_zd_values, shading, 16);
KOR_C_AT(kor_zeiss_zd_values, radialDistortion, 40);

KOR_C_LAYOUT(kor_radio_control_values_size, sizeof(kor_radio_control_values) == 8);
KOR_C_AT(kor_radio_control_values, radioParamA, 4);
KOR_C_AT(kor_radio_control_values, radioParamB, 5);
KOR_C_AT(kor_radio_control_values, radioMode, 6);
KOR_C_AT(kor_radio_control_values, radioParamC, 7);

KOR_C_LAYOUT(kor_telemetry_size, sizeof(kor_telemetry) == 752);
KOR_C_AT(kor_telemetry, recordFlag, 20);
KOR_C_AT(kor_telemetry, timecodeHours, 21);
KOR_C_AT(kor_telemetry, timecodeFrames, 24);
KOR_C_AT(kor_telemetry, focus, 28);
KOR_C_AT(kor_telemetry, zoom, 32);
KOR_C_AT(kor_telemetry, iris, 36);
KOR_C_AT(kor_telemetry, ptpSeconds, 40);
KOR_C_AT(kor_telemetry, ptpNanoseconds, 48);
KOR_C_AT(kor_telemetry, productBrand, 52);
KOR_C_AT(kor_telemetry, productName, 118);
KOR_C_AT(kor_telemetry, productSerial, 184);
KOR_C_AT(kor_telemetry, focalRangeFlags, 250);
KOR_C_AT(kor_telemetry, minFocalLength, 252);
KOR_C_AT(kor_telemetry, maxFocalLength, 256);
KOR_C_AT(kor_telemetry, minIris, 260);
KOR_C_AT(kor_telemetry, maxIris, 264);
KOR_C_AT(kor_telemetry, lensPropertiesExtra, 268);
KOR_C_AT(kor_telemetry, positionX, 272);
KOR_C_AT(kor_telemetry, positionY, 276);
KOR_C_AT(kor_telemetry, positionZ, 280);
KOR_C_AT(kor_telemetry, roll, 284);
KOR_C_AT(kor_telemetry, pitch, 288);
KOR_C_AT(kor_telemetry, yaw, 292);
KOR_C_AT(kor_telemetry, tickCount, 296);
KOR_C_AT(kor_telemetry, tickCountType, 304);
KOR_C_AT(kor_telemetry, lensManufacturer, 305);
KOR_C_AT(kor_telemetry, lensName, 371);
KOR_C_AT(kor_telemetry, lensSerial, 437);
KOR_C_AT(kor_telemetry, projectFps, 503);
KOR_C_AT(kor_telemetry, clipName, 504);
KOR_C_AT(kor_telemetry, rawFocusEncoder, 570);
KOR_C_AT(kor_telemetry, rawZoomEncoder, 572);
KOR_C_AT(kor_telemetry, rawIrisEncoder, 574);
KOR_C_AT(kor_telemetry, zeissZd, 576);
KOR_C_AT(kor_telemetry, radioControl, 640);
KOR_C_AT(kor_telemetry, channelId, 648);
KOR_C_AT(kor_telemetry, sensorWidth, 652);
KOR_C_AT(kor_telemetry, sensorHeight, 656);
KOR_C_AT(kor_telemetry, clipWidth, 660);
KOR_C_AT(kor_telemetry, clipHeight, 662);
KOR_C_AT(kor_telemetry, sensorName, 664);
KOR_C_AT(kor_telemetry, rawAxesEncoders, 732);
KOR_C_AT(kor_telemetry, subjectId, 744);

KOR_C_LAYOUT(kor_frame_report_size, sizeof(kor_frame_report) == 264);
KOR_C_AT(kor_frame_report, messageCount, 4);
KOR_C_AT(kor_frame_report, messages, 8);

KOR_C_LAYOUT(kor_version_size, sizeof(kor_version) == 16);
KOR_C_AT(kor_version, build, 8);

KOR_C_LAYOUT(kor_image_height_characteristics_size, sizeof(kor_image_height_characteristics) == 24);
KOR_C_AT(kor_image_height_characteristics, value_21_4, 20);
KOR_C_LAYOUT(kor_third_order_radial_params_size, sizeof(kor_third_order_radial_params) == 24);
KOR_C_AT(kor_third_order_radial_params, k3, 16);

#undef KOR_C_AT
#undef KOR_C_LAYOUT

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* KOR_KOR_C_H */
