"""Fuzz target: a program decoded from the input runs on one field, built from the field's
own class, and on the model's; see fuzz/program.py.

    python fuzz/field.py [libFuzzer options] [corpus directory or input files...]
"""

import program

ROUNDS = program.Rounds()


def one_input(data):
    try:
        b = program.Decoder(data)
        sc = b.scenario()
        program.judge(sc, b.fault())
    finally:
        ROUNDS()


if __name__ == "__main__":
    program.main(one_input)
