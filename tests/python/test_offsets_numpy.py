"""Token offsets as str indices, in one call and flat for a batch, and ids
straight into numpy."""

import pytest

from real_texts import multilingual_lines
from tolvane_tools import Tokenizer

MODES = ["compatible", "ranked"]


@pytest.fixture(scope="module")
def tok(trained_model_file):
    return Tokenizer.from_file(trained_model_file)


def texts():
    return ["def main():\r\n    return 0  # naïve café", "e\u0301t\u00e9 👩‍👩‍👧 🇩🇪🇺🇸🇫", "",
            "x"] + multilingual_lines()[::400]


@pytest.mark.parametrize("mode", MODES)
def test_offsets_cut_the_text_at_grapheme_borders_into_the_tokens(tok, mode):
    for text in texts():
        if mode == "compatible" and len(tok.graphemes(text)) < 2:
            continue  # that mode refuses texts of fewer than two graphemes, as Data.encode does
        ids, offsets = tok.encode_with_offsets(text, mode=mode)
        assert ids == tok.encode(text, mode=mode)
        borders = {0}
        for g in tok.graphemes(text):
            borders.add(max(borders) + len(g))
        assert [start for start, _ in offsets] == [0, *(end for _, end in offsets)][:len(offsets)]
        assert offsets == [] or offsets[-1][1] == len(text)
        for token, (start, end) in zip(ids, offsets):
            assert start in borders and end in borders and start < end
            if token != tok.oov_id:
                assert text[start:end] == tok.token_text(token)
            else:
                assert [text[start:end]] == list(tok.unknown_graphemes(text[start:end]))


@pytest.mark.parametrize("mode", MODES)
def test_the_flat_batch_gives_each_text_its_offsets(tok, mode):
    batch = [t for t in texts() if len(tok.graphemes(t)) >= 2 or mode == "ranked"]
    ids, offsets, spans = tok.encode_flat_with_offsets(batch, mode=mode, threads=2)
    flat_ids, flat_offsets = tok.encode_flat(batch, mode=mode)
    assert (ids.tolist(), offsets.tolist()) == (flat_ids.tolist(), flat_offsets.tolist())
    assert spans.format == "Q" and len(spans) == 2 * len(ids)
    for i, text in enumerate(batch):
        mine = spans[2 * offsets[i]:2 * offsets[i + 1]].tolist()
        single = tok.encode_with_offsets(text, mode=mode)[1]
        assert list(zip(mine[::2], mine[1::2])) == single


def test_encode_to_numpy_gives_uint16_over_the_encoders_buffer(tok):
    numpy = pytest.importorskip("numpy")
    text = "def main():\n    return 0  " * 100
    array = tok.encode_to_numpy(text, mode="ranked")
    assert array.dtype == numpy.uint16 and array.tolist() == tok.encode(text, mode="ranked")
    assert not array.flags.writeable and not array.flags.owndata  # a view, not a copy
    assert tok.encode_to_numpy("", mode="ranked").shape == (0,)
    with pytest.raises(ValueError, match="mode"):
        tok.encode_to_numpy(text, mode="fast")


def test_the_readme_recipe_makes_a_datasets_column_one_uint16_array(tok):
    numpy = pytest.importorskip("numpy")
    datasets = pytest.importorskip("datasets")
    lines = [t for t in texts() if t]
    dataset = datasets.Dataset.from_dict({"text": lines * 3})
    parts, lengths = [], []
    for batch in dataset.iter(batch_size=7):
        ids, offsets = tok.encode_flat(batch["text"], mode="ranked")
        parts.append(numpy.frombuffer(ids, numpy.uint16))
        lengths.append(numpy.diff(numpy.frombuffer(offsets, numpy.uint64)))
    ids, lengths = numpy.concatenate(parts), numpy.concatenate(lengths)
    expected = tok.encode_batch(lines * 3, mode="ranked")
    assert ids.dtype == numpy.uint16 and ids.tolist() == [i for doc in expected for i in doc]
    assert lengths.tolist() == [len(doc) for doc in expected]
