// SPDX-License-Identifier: MIT
// The checks before an install touches the board. The device binding
// (--device, --device-id) holds the rom header to the board's name and id;
// the preflight (--preflight) checks the whole image, every block the
// install will program and the partitions they name, and refuses the image
// when anything is wrong. Both read the image and only ask the partitions
// (opened read-only: geometry, OOB layout, bad blocks); nothing here opens
// a partition for writing.
//
// Their lines start with "device: " and "preflight: " and are words of the
// form key=value (korvane(1), PREFLIGHT LINES, lists every key and value); the messages of a
// layer that fails on the way (the decoder's, the geometry query's) stand
// between them as they would in an install.
#pragma once

#include "install/install_settings.h"
#include "rom/walk.h"

namespace korvane {

/// Whether the settings bind the image to a device (--device or --device-id).
bool device_binding_given(const install_settings &s);

/// Compares the rom header of the open image with --device and --device-id
/// and prints one "device: " line. A block file, which has no rom header,
/// is refused.
/// @return 0 when the image is the board's, RES_FAULT when it is refused.
int device_binding_check(const rom_walk &w, const install_settings &s);

/// Checks the open image and the board: the rom header and the walk from
/// block to block to the exact end of the file; every block's header and
/// payload check (whatever -f says); for every block the install will
/// program (type and -o), its cypher1 stream decoded to its end within its
/// payload and by the install's own decoder (which reads on past it) to the
/// same size, its partition (opened read-only) with a geometry its writer
/// takes, writeable (MTD_WRITEABLE) and NAND for page records, the data as
/// it will be written (with the padding of -a) against the partition's good
/// erase blocks, and no other block for the same partition. Prints one line for the image, one per
/// block, one for the end of the walk and the verdict, naming every problem.
/// @return 0 when the image may be installed, RES_FAULT when it is refused.
int preflight_check(rom_walk *w, const install_settings &s);

}  // namespace korvane
