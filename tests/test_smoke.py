import json

from pemu_sdk.redis import pemu_data

NODE = {"id": "node-1", "type": "object-detection", "name": "OD Node"}


def test_payload_survives_json_between_two_envelopes():
    publisher = pemu_data.PemuData(0, NODE, NODE, 0)
    payload = publisher.create_pemu_data(result=[{"label": "car"}])
    consumer = pemu_data.PemuData(1, NODE)
    parsed = consumer.parse_pemu_data(json.dumps(payload).encode())
    assert parsed["result"] == [{"label": "car"}]
    assert parsed["frame"] is None
    assert consumer.meta.source.source_key == "node-1_0"
