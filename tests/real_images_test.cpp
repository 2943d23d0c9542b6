// Conformance against images made by real mastering tools.
//
// Each test masters an image at test time with xorriso (-as mkisofs) or
// genisoimage in a temporary folder, runs tolvane on it and compares the
// whole report with one assembled from two other sources: what the image
// was made with (identifiers, boot options, the boot files' bytes) and what
// independent readers say about the same image (isoinfo -d/-p/-l, xorriso
// -report_el_torito and -report_system_area, dumpet -i). Where two sources
// give the same value they are checked against each other first, and every
// failure shows both values and where each came from. Nothing here runs
// tolvane's own code but the executable under test.
#include "real_images.hpp"

namespace {

TEST_F(RealImages, NoEmulationBootWithTableAndIdentifiers) {
    const Recipe recipe = bootable_recipe();
    check(recipe, master(recipe, "plain.iso"));
}

TEST_F(RealImages, OneAndTwoEfiAlternateEntries) {
    for (int efi_entries = 1; efi_entries <= 2; ++efi_entries) {
        SCOPED_TRACE(std::to_string(efi_entries) + " EFI entries");
        Recipe recipe = bootable_recipe();
        recipe.boot[0].eltorito_id = "TOLVANE REAL-IMAGE CATALOG";  // 24 of it are stored
        BootFile efi = efi_boot("boot/efi.img", 65536);
        efi.eltorito_id = "EFI SECTION: 28 BYTES STORED";
        recipe.boot.push_back(efi);
        if (efi_entries == 2) {
            BootFile second = efi_boot("boot/efi2.img", 131072);
            second.eltorito_id = efi.eltorito_id;  // the same section
            recipe.boot.push_back(second);
        }
        check(recipe, master(recipe, "efi" + std::to_string(efi_entries) + ".iso"));
    }
}

TEST_F(RealImages, FloppyEmulations) {
    for (unsigned media = 1; media <= 3; ++media) {
        SCOPED_TRACE("media type " + std::to_string(media));
        Recipe recipe;
        recipe.ids = test_identifiers();
        recipe.boot = {floppy_boot(media)};
        check(recipe, master(recipe, "floppy" + std::to_string(media) + ".iso"));
    }
}

TEST_F(RealImages, BootImageWithoutTable) {
    Recipe recipe = bootable_recipe();
    recipe.boot[0].table = false;
    recipe.boot[0].load_size = -1;
    check(recipe, master(recipe, "no-table.iso"));
}

TEST_F(RealImages, NonBootableImageWithTheToolsDefaultIdentifiers) {
    Recipe recipe;  // no identifiers given: xorriso's own, some of only spaces
    check(recipe, master(recipe, "data.iso"));
}

TEST_F(RealImages, IsohybridImageWithMbrAndGpt) {
    const Recipe recipe = hybrid_recipe();
    const std::string image = master(recipe, "hybrid.iso");
    const Readers readers = read_with_others(image);
    const std::string summary = value_after(readers.xorriso, "System area summary: ").value_or("");
    EXPECT_NE(summary.find("MBR"), std::string::npos) << readers.xorriso;
    EXPECT_NE(summary.find("GPT"), std::string::npos) << readers.xorriso;
    expect_report(image, expected_report(recipe, readers));
}

TEST_F(RealImages, ImageMadeByGenisoimage) {
    const Recipe recipe = genisoimage_recipe();
    check(recipe, master(recipe, "genisoimage.iso"));
}

TEST_F(RealImages, BootImagesAboveFourGibibytes) {
    // An image of over 4 GiB, made without writing gigabytes. genisoimage
    // masters the volume as a later session meant to start at sector
    // kStart (-C 0,N, as for the data session of a CD Extra), so every
    // sector number inside it counts from the start of the disc. Its few
    // hundred kilobytes are written at that sector of a sparse file, where
    // the 4 GiB before them are a hole taking no disk space, and its first
    // 32 sectors (system area and volume descriptors) are copied to sector
    // 0, as xorriso and growisofs do for a later session on overwritable
    // media, so that a reader starting at sector 16 finds this session.
    // (xorriso's own -C image would do as well for tolvane, but xorriso
    // refuses to load it: its volume size counts from the session start, and
    // its Rock Ridge areas then lie outside the volume.)
    Recipe recipe;
    const std::string image = master_above_4gib(&recipe);
    const Readers readers = read_with_others(image);
    std::vector<bool> tables;
    for (const Entry& entry : xorriso_entries(readers.xorriso, &tables)) {
        EXPECT_GE(entry.sector, 0x200000u) << "a boot image below 4 GiB";
    }
    const Expected expected = expected_report(recipe, readers);
    expect_report(image, expected);
}

}  // namespace
