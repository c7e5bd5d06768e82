import inspect

import numpy as np
import pytest

from quarnel import QrnlCompressionOptions, compress_signal

from conftest import make_signal

METHOD_TAGS = {"cdf53": b"cf53", "cdf97": b"cf97", "db4": b"db04", "sym4": b"sym4"}
CODER_BYTES = {"deflate": 0, "arans": 1, "auto": 1, None: 1}

METHOD_MESSAGE = "Unknown method {}, expected 'cdf97' or 'cdf53' or 'db4' or 'sym4'"
CUTOFF_MESSAGE = "Unknown cutoff level {}, expected 'low' or 'medium' or 'high'"
SCALE_MESSAGE = "Only scaled 6..12 is supported, but it was {}"
CODER_MESSAGE = "Unknown coder {}, expected 'auto', 'deflate', 'arans'"


def stream(options=None, n=1000):
    return compress_signal(make_signal(n), options)


def test_no_arguments_give_the_default_options():
    assert stream(QrnlCompressionOptions()) == stream(QrnlCompressionOptions("cdf97", 11, "low", None))
    assert stream(QrnlCompressionOptions()) == stream(None)


@pytest.mark.parametrize("method", list(METHOD_TAGS))
@pytest.mark.parametrize("coder", list(CODER_BYTES))
def test_method_and_coder_reach_the_stream(method, coder):
    header = stream(QrnlCompressionOptions(method=method, coder=coder))[:16]
    assert header[8:12] == METHOD_TAGS[method]
    assert header[14] == CODER_BYTES[coder]


@pytest.mark.parametrize("scale", range(6, 13))
def test_every_supported_scale_reaches_the_stream(scale):
    assert stream(QrnlCompressionOptions(scale=scale))[13] == scale


def test_cutoff_reaches_the_compressor():
    # Scale 12 zeroes detail coefficients below 3, 9 and 21: the noise of a
    # sensor-like trace loses more of them at each step.
    noisy = make_signal(4000, seed=5)
    streams = [compress_signal(noisy, QrnlCompressionOptions(scale=12, cutoff=c)) for c in ("low", "medium", "high")]
    assert len(set(streams)) == 3
    assert len(streams[0]) > len(streams[1]) > len(streams[2])


def test_positional_and_keyword_arguments_agree():
    by_position = QrnlCompressionOptions("db4", 8, "high", "deflate")
    by_keyword = QrnlCompressionOptions(coder="deflate", cutoff="high", scale=8, method="db4")
    assert stream(by_position) == stream(by_keyword)


def test_coder_none_and_auto_and_arans_build_the_same_stream():
    assert stream(QrnlCompressionOptions(coder=None)) == stream(QrnlCompressionOptions(coder="auto"))
    assert stream(QrnlCompressionOptions(coder="auto")) == stream(QrnlCompressionOptions(coder="arans"))


def test_scale_accepts_integer_like_objects():
    assert stream(QrnlCompressionOptions(scale=np.int64(8))) == stream(QrnlCompressionOptions(scale=8))


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"method": "CDF97"}, METHOD_MESSAGE.format('"CDF97"')),
        ({"method": "cdf97 "}, METHOD_MESSAGE.format('"cdf97 "')),
        ({"method": ""}, METHOD_MESSAGE.format('""')),
        ({"cutoff": "Low"}, CUTOFF_MESSAGE.format('"Low"')),
        ({"cutoff": "none"}, CUTOFF_MESSAGE.format('"none"')),
        ({"coder": "zlib"}, CODER_MESSAGE.format('"zlib"')),
        ({"coder": "None"}, CODER_MESSAGE.format('"None"')),
        ({"scale": 0}, SCALE_MESSAGE.format(0)),
        ({"scale": 5}, SCALE_MESSAGE.format(5)),
        ({"scale": 13}, SCALE_MESSAGE.format(13)),
        ({"scale": 255}, SCALE_MESSAGE.format(255)),
    ],
)
def test_unknown_values_are_value_errors(kwargs, message):
    with pytest.raises(ValueError) as caught:
        QrnlCompressionOptions(**kwargs)
    assert str(caught.value) == message


# The rejected string appears in its quoted debugging form. Printable means
# printable to Python's str.isprintable.
@pytest.mark.parametrize(
    "text, shown",
    [
        ('say "hi"', r'"say \"hi\""'),
        ("back\\slash", r'"back\\slash"'),
        ("nul\0", r'"nul\0"'),
        ("\t\r\n", r'"\t\r\n"'),
        ("it's", '"it\'s"'),
        ("\x01\x1b\x7f", r'"\u{1}\u{1b}\u{7f}"'),
        ("\x85", r'"\u{85}"'),
        ("no\u00a0break", r'"no\u{a0}break"'),
        ("zero\u200bwidth", r'"zero\u{200b}width"'),
        ("line\u2028sep", r'"line\u{2028}sep"'),
        ("lone\ud800", r'"lone\u{d800}"'),
        ("private\ue000", r'"private\u{e000}"'),
        ("unassigned\U000e0080", r'"unassigned\u{e0080}"'),
        ("ondée", '"ondée"'),
        ("波形", '"波形"'),
        ("wave \U0001f30a", '"wave \U0001f30a"'),
    ],
)
@pytest.mark.parametrize(
    "parameter, template", [("method", METHOD_MESSAGE), ("cutoff", CUTOFF_MESSAGE), ("coder", CODER_MESSAGE)]
)
def test_rejected_strings_are_quoted_and_escaped(parameter, template, text, shown):
    with pytest.raises(ValueError) as caught:
        QrnlCompressionOptions(**{parameter: text})
    assert str(caught.value) == template.format(shown)


@pytest.mark.parametrize("scale", [-1, 256, 1000, 2**64, -(2**70)])
def test_scale_outside_a_byte_is_an_overflow_error(scale):
    with pytest.raises(OverflowError, match="scale"):
        QrnlCompressionOptions(scale=scale)


@pytest.mark.parametrize(
    "parameter, value",
    [
        ("method", None),
        ("method", b"cdf97"),
        ("method", 1),
        ("scale", None),
        ("scale", "11"),
        ("scale", 11.0),
        ("cutoff", None),
        ("cutoff", ["low"]),
        ("coder", 2),
        ("coder", b"auto"),
    ],
)
def test_wrong_types_are_type_errors_naming_the_parameter(parameter, value):
    with pytest.raises(TypeError, match=f"'{parameter}'"):
        QrnlCompressionOptions(**{parameter: value})


@pytest.mark.parametrize(
    "kwargs, exception, message",
    [
        # Values are checked in the order method, cutoff, scale, coder ...
        ({"method": "x", "scale": 5}, ValueError, METHOD_MESSAGE.format('"x"')),
        ({"cutoff": "x", "scale": 5}, ValueError, CUTOFF_MESSAGE.format('"x"')),
        ({"scale": 13, "coder": "x"}, ValueError, SCALE_MESSAGE.format(13)),
        ({"method": "x", "cutoff": "y", "coder": "z"}, ValueError, METHOD_MESSAGE.format('"x"')),
        ({"cutoff": "y", "coder": "z"}, ValueError, CUTOFF_MESSAGE.format('"y"')),
        # ... after every argument has been bound with its type.
        ({"method": "x", "coder": 1}, TypeError, "'coder'"),
        ({"method": "x", "scale": 300}, OverflowError, "'scale'"),
        ({"method": 1, "scale": "x"}, TypeError, "'method'"),
    ],
)
def test_first_failing_check_is_reported(kwargs, exception, message):
    with pytest.raises(exception) as caught:
        QrnlCompressionOptions(**kwargs)
    if exception is ValueError:
        assert str(caught.value) == message
    else:
        assert message in str(caught.value)


@pytest.mark.parametrize(
    "args, kwargs",
    [
        (("cdf97", 11, "low", None, "extra"), {}),
        ((), {"wavelet": "cdf97"}),
        (("cdf97",), {"method": "cdf53"}),
    ],
)
def test_argument_binding_errors(args, kwargs):
    with pytest.raises(TypeError):
        QrnlCompressionOptions(*args, **kwargs)


def test_signature_and_empty_docstring():
    assert QrnlCompressionOptions.__text_signature__ == '(method="cdf97", scale=11, cutoff="low", coder=None)'
    assert not QrnlCompressionOptions.__doc__
    assert str(inspect.signature(QrnlCompressionOptions)) == "(method='cdf97', scale=11, cutoff='low', coder=None)"


def test_instances_are_opaque_and_immutable():
    options = QrnlCompressionOptions("db4", 8)
    assert [name for name in dir(options) if not name.startswith("__")] == []
    with pytest.raises(AttributeError):
        options.scale = 12
    with pytest.raises(AttributeError):
        options.method  # noqa: B018 - the attribute lookup is what must raise
