"""A labelled data set of 784-byte flow images from a directory of captures, one class per subdirectory.

    python examples/dataset_784.py CAPTURES_DIR OUT_PREFIX

CAPTURES_DIR/benign/*.pcap, CAPTURES_DIR/attack/day1/*.pcap.gz, ... give classes "attack", "benign", ... (the
directory right below CAPTURES_DIR, however deep the capture lies; none may lie in CAPTURES_DIR itself).  Each flow's
first 784 bytes (addresses and ports zeroed, so that a model cannot learn hosts) become one row; flows of fewer
than 3 packets and rows seen before are dropped, and the split keeps each flow on one side.  Writes
OUT_PREFIX.npz (x_train, y_train, x_test, y_test, classes) and OUT_PREFIX.png, a preview of the first rows.
"""
import sys

import numpy as np

from vexlor_dataset import byte_matrix, dedupe, drop_small, grouped_split, labels_from_dirs, preview_png


def main(captures, prefix):
    matrix, keys = byte_matrix(captures, n=784, mask=("mac", "ip", "port", "checksum"))
    big = drop_small(keys, 3).column("row").to_numpy()
    matrix, keys = matrix[big], keys.take(big)
    matrix, keys, removed = dedupe(matrix, keys)
    labels, classes = labels_from_dirs(keys, captures)
    train, test = grouped_split(keys, by="flow", test_fraction=0.2, seed=0)
    np.savez_compressed(
        prefix + ".npz",
        x_train=matrix[train],
        y_train=labels[train],
        x_test=matrix[test],
        y_test=labels[test],
        classes=np.array(classes),
    )
    preview_png(matrix, prefix + ".png")
    print("%d flows (%d duplicates dropped), classes %s, %d train / %d test" % (
        len(matrix), removed, ", ".join(classes), len(train), len(test)))  # fmt: skip


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] in ("-h", "--help"):
        print(__doc__)
        sys.exit(0 if sys.argv[1:2] in (["-h"], ["--help"]) else 2)
    main(sys.argv[1], sys.argv[2])
