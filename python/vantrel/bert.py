"""Former home of the BERT converter, now :mod:`vantrel.convert.bert`; the names
stay importable from here."""

from vantrel.convert.bert import bert_encoder, convert_minilm, minilm_dir, read_safetensors

__all__ = ["bert_encoder", "convert_minilm", "minilm_dir", "read_safetensors"]
