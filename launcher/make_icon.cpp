// make_icon: turns the text picture of launcher_icon.txt into a Windows icon
// file of 16-colour images, each with its transparency mask.
//
//   make_icon PICTURE ICON
//
// Exits with 1 and a message naming the line when the picture is malformed.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Image {
    int Size = 0;
    std::vector<std::string> Rows;
};

// The standard 16-colour palette, as red, green, blue.
const std::uint8_t Palette[16][3] = {
    {0, 0, 0},       {128, 0, 0},   {0, 128, 0},   {128, 128, 0},
    {0, 0, 128},     {128, 0, 128}, {0, 128, 128}, {192, 192, 192},
    {128, 128, 128}, {255, 0, 0},   {0, 255, 0},   {255, 255, 0},
    {0, 0, 255},     {255, 0, 255}, {0, 255, 255}, {255, 255, 255},
};

const int BitmapHeaderSize = 40;
const int PaletteSize = 16 * 4;

void PutWord(std::vector<std::uint8_t> &Out, unsigned Value)
{
    Out.push_back(Value & 0xff);
    Out.push_back((Value >> 8) & 0xff);
}

void PutDword(std::vector<std::uint8_t> &Out, std::uint32_t Value)
{
    PutWord(Out, Value & 0xffff);
    PutWord(Out, Value >> 16);
}

// Rows of a bitmap are padded to whole 32-bit words.
int RowBytes(int Pixels, int BitsPerPixel)
{
    return (Pixels * BitsPerPixel + 31) / 32 * 4;
}

int ColourIndex(char Pixel)
{
    if (Pixel >= '0' && Pixel <= '9') {
        return Pixel - '0';
    }
    if (Pixel >= 'a' && Pixel <= 'f') {
        return Pixel - 'a' + 10;
    }
    return -1;
}

// One image as the icon file holds it: header, palette, colour bitmap and
// mask, both bottom-up. Transparent pixels have colour 0 and mask bit 1.
std::vector<std::uint8_t> EncodeImage(const Image &Picture)
{
    const int Size = Picture.Size;
    const int ColourRow = RowBytes(Size, 4);
    const int MaskRow = RowBytes(Size, 1);
    std::vector<std::uint8_t> Out;
    PutDword(Out, BitmapHeaderSize);
    PutDword(Out, Size);
    PutDword(Out, 2 * Size); // colour bitmap and mask, one above the other
    PutWord(Out, 1);         // planes
    PutWord(Out, 4);         // bits per pixel
    PutDword(Out, 0);        // uncompressed
    PutDword(Out, (ColourRow + MaskRow) * Size);
    for (int Field = 0; Field < 4; Field++) {
        PutDword(Out, 0); // resolution, colours used and important: defaults
    }
    for (const auto &Colour : Palette) {
        Out.push_back(Colour[2]);
        Out.push_back(Colour[1]);
        Out.push_back(Colour[0]);
        Out.push_back(0);
    }
    for (int Y = Size - 1; Y >= 0; Y--) {
        std::vector<std::uint8_t> Row(ColourRow, 0);
        for (int X = 0; X < Size; X++) {
            const int Index = ColourIndex(Picture.Rows[Y][X]);
            if (Index > 0) {
                Row[X / 2] |= static_cast<std::uint8_t>(X % 2 == 0 ? Index << 4 : Index);
            }
        }
        Out.insert(Out.end(), Row.begin(), Row.end());
    }
    for (int Y = Size - 1; Y >= 0; Y--) {
        std::vector<std::uint8_t> Row(MaskRow, 0);
        for (int X = 0; X < Size; X++) {
            if (Picture.Rows[Y][X] == '.') {
                Row[X / 8] |= static_cast<std::uint8_t>(0x80 >> (X % 8));
            }
        }
        Out.insert(Out.end(), Row.begin(), Row.end());
    }
    return Out;
}

bool ReadPicture(std::istream &In, const std::string &Name, std::vector<Image> &Images)
{
    std::string Line;
    int LineNumber = 0;
    auto Complain = [&](const std::string &What) {
        std::cerr << Name << ":" << LineNumber << ": " << What << "\n";
        return false;
    };
    while (std::getline(In, Line)) {
        LineNumber++;
        if (!Line.empty() && Line.back() == '\r') {
            Line.pop_back();
        }
        if (Line.empty() || Line[0] == '#') {
            continue;
        }
        if (Line.compare(0, 5, "size ") == 0) {
            if (!Images.empty() && static_cast<int>(Images.back().Rows.size()) != Images.back().Size) {
                return Complain("the previous image has too few rows");
            }
            std::istringstream Fields(Line.substr(5));
            Image Next;
            std::string Rest;
            if (!(Fields >> Next.Size) || (Fields >> Rest) || Next.Size < 1 || Next.Size > 255) {
                return Complain("expected \"size N\" with N from 1 to 255");
            }
            Images.push_back(Next);
            continue;
        }
        if (Images.empty()) {
            return Complain("pixels before the first \"size\" line");
        }
        Image &Current = Images.back();
        if (static_cast<int>(Current.Rows.size()) == Current.Size) {
            return Complain("more rows than the image's size");
        }
        if (static_cast<int>(Line.size()) != Current.Size) {
            return Complain("a row of " + std::to_string(Line.size()) + " pixels in an image " +
                            std::to_string(Current.Size) + " wide");
        }
        for (char Pixel : Line) {
            if (Pixel != '.' && ColourIndex(Pixel) < 0) {
                return Complain(std::string("unknown pixel '") + Pixel + "'");
            }
        }
        Current.Rows.push_back(Line);
    }
    if (Images.empty()) {
        return Complain("no image");
    }
    if (static_cast<int>(Images.back().Rows.size()) != Images.back().Size) {
        return Complain("the last image has too few rows");
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::cerr << "usage: make_icon PICTURE ICON\n";
        return 1;
    }
    std::ifstream In(argv[1]);
    if (!In) {
        std::cerr << argv[1] << ": cannot be read\n";
        return 1;
    }
    std::vector<Image> Images;
    if (!ReadPicture(In, argv[1], Images)) {
        return 1;
    }

    // Icon directory, one entry per image, then the images in order.
    std::vector<std::vector<std::uint8_t>> Encoded;
    for (const Image &Picture : Images) {
        Encoded.push_back(EncodeImage(Picture));
    }
    std::vector<std::uint8_t> File;
    PutWord(File, 0); // reserved
    PutWord(File, 1); // an icon, not a cursor
    PutWord(File, static_cast<unsigned>(Images.size()));
    std::uint32_t Offset = static_cast<std::uint32_t>(6 + 16 * Images.size());
    for (std::size_t Index = 0; Index < Images.size(); Index++) {
        File.push_back(static_cast<std::uint8_t>(Images[Index].Size));
        File.push_back(static_cast<std::uint8_t>(Images[Index].Size));
        File.push_back(16); // colours
        File.push_back(0);  // reserved
        PutWord(File, 1);   // planes
        PutWord(File, 4);   // bits per pixel
        PutDword(File, static_cast<std::uint32_t>(Encoded[Index].size()));
        PutDword(File, Offset);
        Offset += static_cast<std::uint32_t>(Encoded[Index].size());
    }
    for (const auto &Bytes : Encoded) {
        File.insert(File.end(), Bytes.begin(), Bytes.end());
    }

    std::ofstream Out(argv[2], std::ios::binary);
    Out.write(reinterpret_cast<const char *>(File.data()), static_cast<std::streamsize>(File.size()));
    Out.close();
    if (!Out) {
        std::cerr << argv[2] << ": cannot be written\n";
        return 1;
    }
    return 0;
}
