"""Picks ID mattes by name with Blender's Cryptomatte node, headless, and writes each to an EXR.

    blender -b --factory-startup --python-exit-code 1 --python tests/interop/blender_mattes.py -- \
        IN.exr OUT_DIR TYPE:NAME [TYPE:NAME ...]

For every TYPE:NAME (TYPE is a matte's type name, e.g. CryptoObject) a Cryptomatte node of the
compositor reads IN.exr as an image, selects that type in its layer menu and picks NAME by name;
a File Output node writes its Matte output to OUT_DIR/<TYPE>_<NAME>_0001.exr, 32-bit float, the
matte in R, G and B, top row first as EXR files are. Exits non-zero when the node does not offer
the type.
"""
import os
import sys

import bpy


def fail(message):
    print("blender_mattes: " + message, file=sys.stderr)
    sys.exit(1)


def main():
    args = sys.argv[sys.argv.index("--") + 1 :] if "--" in sys.argv else []
    if len(args) < 3:
        fail("usage: ... -- IN.exr OUT_DIR TYPE:NAME [TYPE:NAME ...]")
    source, out_dir, picks = os.path.abspath(args[0]), os.path.abspath(args[1]), args[2:]

    image = bpy.data.images.load(source)
    # The IDs are bit patterns: nothing may touch them. Blender converts every pass of a
    # multi-layer file from the image's colour space to the scene's linear one, and with
    # premultiplied alpha divides by the fourth channel (here a coverage) and multiplies back,
    # which moves some IDs by a unit in the last place, and the node misses those pixels. An
    # image in the scene's linear space (the default for EXR files; "Non-Color" is not) is not
    # converted, and channel-packed alpha is never divided.
    image.colorspace_settings.name = "Linear"
    image.alpha_mode = "CHANNEL_PACKED"
    scene = bpy.context.scene
    scene.frame_current = 1
    scene.view_settings.view_transform = "Raw"
    scene.view_settings.look = "None"
    scene.render.use_compositing = True
    scene.render.use_sequencer = False
    scene.use_nodes = True
    tree = scene.node_tree
    tree.nodes.clear()

    for pick in picks:
        type_name, _, name = pick.partition(":")
        node = tree.nodes.new("CompositorNodeCryptomatteV2")
        node.source = "IMAGE"
        node.image = image
        try:
            node.layer_name = type_name
        except TypeError as error:
            fail("the Cryptomatte node does not offer %s (%s)" % (type_name, error))
        node.matte_id = name

        out = tree.nodes.new("CompositorNodeOutputFile")
        out.base_path = out_dir
        out.format.file_format = "OPEN_EXR"
        out.format.color_depth = "32"
        out.format.exr_codec = "ZIP"
        out.format.color_mode = "RGB"
        out.file_slots[0].path = "%s_%s_" % (type_name, name)
        out.file_slots[0].use_node_format = True
        tree.links.new(node.outputs["Matte"], out.inputs[0])
        print("blender_mattes: %s picks %s from %s" % (type_name, name, source))

    # A Composite node makes the render a compositing pass; with no Render Layers node in the
    # tree, the scene itself is not rendered.
    composite = tree.nodes.new("CompositorNodeComposite")
    tree.links.new(tree.nodes[0].outputs["Image"], composite.inputs[0])
    bpy.ops.render.render(write_still=False)


main()
