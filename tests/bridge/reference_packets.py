"""Writes OpenTrackIO packets built by the published reference sender, one hex line each.

usage: reference_packets.py REFERENCE_DIR FORMAT SEGMENTS OUT [SAMPLE.json]
FORMAT is JSON or CBOR; SEGMENTS the sender's --num-segments (0: as many as the size needs).
With SAMPLE the sender segments that sample (encoded as the sender encodes its own);
without, it builds one of its own moving-camera samples. Nothing is sent on a network.
"""
import json
import sys


def main():
    reference, form, segments, out = sys.argv[1:5]
    sys.path.insert(0, reference)
    import cbor2
    import opentrackio_sender as sender

    payload_format = sender.PayloadFormat[form]
    transmitter = sender.OpenTrackIOPacketTransmitter({
        "source_number": 1,
        "port": sender.OTRK_MULTICAST_PORT,
        "multicast_group": sender.OTRK_MULTICAST_PREFIX + "1",
        "format": payload_format,
        "time_source": sender.TimeSource.NONE,
        "debug": False,
        "num-segments": int(segments),
    })
    if len(sys.argv) > 5:
        with open(sys.argv[5], encoding="utf-8") as sample_file:
            sample = json.load(sample_file)
        payload = (cbor2.dumps(sample) if payload_format == sender.PayloadFormat.CBOR
                   else json.dumps(sample).encode("utf-8"))
        packets = transmitter._construct_udp_segments(payload, payload_format)
    else:
        packets = transmitter._create_opentrackio_packet()
    with open(out, "w", encoding="ascii") as out_file:
        for packet in packets:
            out_file.write(packet.hex() + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
