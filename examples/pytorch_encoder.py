#!/usr/bin/python3
"""Velk's encoder block as a PyTorch module, exported to ONNX as the importer's test fixtures.

The block is the one velkc builds itself (examples/encoder.json, at smaller sizes): pre-normalised,
single head, unscaled attention, on a 2-D input x of shape [S, H] with S=16, H=32, F=64:

    norm1 = layer_norm(x)                    q, k, v = norm1 @ wq, norm1 @ wk, norm1 @ wv
    scores = q @ k^T                         softmax = softmax(scores, axis=1)
    context = softmax @ v                    residual = x + context @ wo
    norm2 = layer_norm(residual)             ffn_residual = residual + gelu(norm2 @ w1) @ w2

layer_norm has epsilon 1e-5 and no scale or bias; gelu is the tanh form. The weights wq, wk, wv,
wo [H,H], w1 [H,F] and w2 [F,H] are parameters in that order, so that they export as MatMul
initializers of those names.

Writes, into the output folder (default: tests/fixtures/onnx beside this script's repository):
    encoder_block.onnx              the block with the tanh GELU, opset 17, input "input",
                                    output "ffn_residual"
    encoder_block_input.npy         the fixed input, float32 [16, 32]
    encoder_block_output.npy        PyTorch's output for that input, float32 [16, 32]
    encoder_block_erf.onnx          the same block and weights with the exact (erf) GELU
    encoder_block_erf_output.npy    PyTorch's output of that block for the same input

Weights and input come from fixed seeds, so a rerun writes the same tensors. Run it with Debian's
interpreter, which sees the Debian torch and onnx packages:

    /usr/bin/python3 examples/pytorch_encoder.py [OUTPUT_FOLDER]
"""

import pathlib
import sys

import numpy as np
import torch
from torch import nn
from torch.onnx import symbolic_helper

SEQUENCE = 16
HIDDEN = 32
FEED_FORWARD = 64
EPSILON = 1e-5
OPSET = 17
WEIGHT_SEED = 0
INPUT_SEED = 1

DEFAULT_OUTPUT = pathlib.Path(__file__).resolve().parent.parent / "tests" / "fixtures" / "onnx"


class EncoderBlock(nn.Module):
    def __init__(self, gelu: nn.Module):
        super().__init__()
        # Scaled by 1/sqrt(fan_in) so that the attention scores and the feed-forward stay in a
        # range where softmax and GELU are not saturated and the outputs test something.
        def weight(rows: int, columns: int) -> nn.Parameter:
            return nn.Parameter(torch.randn(rows, columns) / rows**0.5)

        self.wq = weight(HIDDEN, HIDDEN)
        self.wk = weight(HIDDEN, HIDDEN)
        self.wv = weight(HIDDEN, HIDDEN)
        self.wo = weight(HIDDEN, HIDDEN)
        self.w1 = weight(HIDDEN, FEED_FORWARD)
        self.w2 = weight(FEED_FORWARD, HIDDEN)
        self.norm1 = nn.LayerNorm(HIDDEN, eps=EPSILON, elementwise_affine=False)
        self.norm2 = nn.LayerNorm(HIDDEN, eps=EPSILON, elementwise_affine=False)
        self.gelu = gelu

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        norm1 = self.norm1(x)
        q = norm1 @ self.wq
        k = norm1 @ self.wk
        v = norm1 @ self.wv
        attention_scores = q @ k.transpose(0, 1)
        attention_softmax = torch.softmax(attention_scores, dim=1)
        attention_context = attention_softmax @ v
        attention_residual = x + attention_context @ self.wo
        norm2 = self.norm2(attention_residual)
        ffn_gelu = self.gelu(norm2 @ self.w1)
        return attention_residual + ffn_gelu @ self.w2


@symbolic_helper.parse_args("v", "is", "v", "v", "f", "none")
def layer_norm_with_unit_scale(g, input, normalized_shape, weight, bias, eps, cudnn_enable):
    """aten::layer_norm as LayerNormalization, with a scale of ones and a bias of zeros when the
    module has none.

    torch 1.13 leaves the scale input empty for LayerNorm(elementwise_affine=False), which the ONNX
    checker refuses (the scale is a required input); later torch releases give the node Constant
    ones and zeros instead, and this does the same so that the fixtures look like their exports.
    """
    if symbolic_helper._is_none(weight):
        weight = g.op("Constant", value_t=torch.ones(normalized_shape, dtype=torch.float32))
    if symbolic_helper._is_none(bias):
        bias = g.op("Constant", value_t=torch.zeros(normalized_shape, dtype=torch.float32))
    return g.op("LayerNormalization", input, weight, bias, epsilon_f=eps, axis_i=-len(normalized_shape))


def make_block(gelu: nn.Module) -> EncoderBlock:
    torch.manual_seed(WEIGHT_SEED)
    return EncoderBlock(gelu).eval()


def make_input() -> torch.Tensor:
    generator = torch.Generator().manual_seed(INPUT_SEED)
    return torch.randn(SEQUENCE, HIDDEN, generator=generator)


def export(block: EncoderBlock, x: torch.Tensor, model_path: pathlib.Path, output_path: pathlib.Path) -> None:
    with torch.no_grad():
        output = block(x)
        torch.onnx.export(
            block,
            (x,),
            str(model_path),
            opset_version=OPSET,
            input_names=["input"],
            output_names=["ffn_residual"],
        )
    np.save(output_path, output.numpy().astype(np.float32))


def main(argv: list[str]) -> int:
    if len(argv) > 2:
        print(f"usage: {argv[0]} [OUTPUT_FOLDER]", file=sys.stderr)
        return 2
    folder = pathlib.Path(argv[1]) if len(argv) == 2 else DEFAULT_OUTPUT
    folder.mkdir(parents=True, exist_ok=True)
    torch.onnx.register_custom_op_symbolic("aten::layer_norm", layer_norm_with_unit_scale, OPSET)

    x = make_input()
    np.save(folder / "encoder_block_input.npy", x.numpy().astype(np.float32))
    export(
        make_block(nn.GELU(approximate="tanh")),
        x,
        folder / "encoder_block.onnx",
        folder / "encoder_block_output.npy",
    )
    export(
        make_block(nn.GELU()),
        x,
        folder / "encoder_block_erf.onnx",
        folder / "encoder_block_erf_output.npy",
    )
    print(f"wrote the encoder block fixtures to {folder}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
