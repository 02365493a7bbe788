"""The records the teacher's tools pass between them: one JSON object per record, field for field."""
import json

import pytest

from tavik.classroom.records import STATUS_LABELS, Observed, Result, status_label


def test_a_result_goes_through_json_unchanged():
    result = Result(file="小明.py", status="error", seconds=1.5, stdout="你好\n", warnings=["注意"], frames=3,
                    fps=30.0, files=["files/小明/画.png"], limit="memory")
    assert Result.from_json(json.loads(json.dumps(result.to_json()))) == result


def test_a_report_entry_keeps_the_keys_a_teacher_reads():
    keys = set(Result(file="a.py").to_json())
    assert {"file", "status", "seconds", "screenshot", "gif", "stdout", "stderr", "traceback", "hint", "warnings",
            "frames", "fps"} <= keys


def test_unknown_keys_are_left_out_and_missing_ones_take_defaults():
    observed = Observed.from_json({"status": "timeout", "made_up": 1})
    assert observed.status == "timeout" and observed.facts == {} and observed.error is None


@pytest.mark.parametrize("data", [None, [], "ok", 3])
def test_anything_but_an_object_is_refused(data):
    with pytest.raises(ValueError):
        Observed.from_json(data)


@pytest.mark.parametrize("status, label", sorted(STATUS_LABELS.items()))
def test_every_status_has_one_chinese_label(status, label):
    assert status_label(status) == label == Result(file="x.py", status=status).label
    assert all("\u4e00" <= character <= "\u9fff" for character in label)
