"""LSTM against torch.nn.LSTM on models built with ModelBuilder."""
import numpy as np
import pytest

torch = pytest.importorskip("torch")

from vantrel import ModelBuilder  # noqa: E402


LSTM_CASES = [
    # input size, hidden size, steps, bidirectional, bias
    (5, 8, 12, True, True),     # whole groups of 4 units
    (3, 7, 9, True, True),      # H mod 4 = 3: tail units
    (4, 13, 1, True, False),    # one step, no biases
    (6, 20, 15, False, True),   # one direction
    (4, 1, 5, False, True),     # H = 1
    (16, 33, 40, True, True),
]


@pytest.mark.parametrize("isz, hid, steps, bi, bias", LSTM_CASES)
def test_lstm_matches_torch(build, isz, hid, steps, bi, bias):
    torch.manual_seed(hid)
    ref = torch.nn.LSTM(isz, hid, bidirectional=bi, batch_first=True, bias=bias)
    b = ModelBuilder("lstm")
    b.input("x", [steps, isz])
    b.output(b.node("lstm_fp32", ["x"], name="L", hidden_size=hid, bidirectional=bi))
    for key, val in ref.state_dict().items():
        b.weight("L." + key, val.detach().numpy().astype(np.float32))
    x = np.random.default_rng(steps).standard_normal((steps, isz)).astype(np.float32)
    with torch.no_grad():
        want = ref(torch.from_numpy(x)[None])[0][0].numpy()
    y = build(b).forward(x).reshape(want.shape)
    np.testing.assert_allclose(y, want, atol=2e-5)
