<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="zh_CN">
<context>
    <name>DatumSift</name>
    <message>
        <source>浏览正常文件</source>
        <translation>Browse files</translation>
    </message>
    <message>
        <source>删除恢复</source>
        <translation>Recover deleted</translation>
    </message>
    <message>
        <source>格式化恢复</source>
        <translation>Recover formatted</translation>
    </message>
    <message>
        <source>虚拟硬盘文件恢复</source>
        <translation>Recover virtual disks</translation>
    </message>
    <message>
        <source>双击展开目录</source>
        <translation>Double-click a folder to list it</translation>
    </message>
    <message>
        <source>浏览正常文件 to open the datastore, then double-click a folder to list it</source>
        <translation>Browse files to open the datastore, then double-click a folder to list it</translation>
    </message>
    <message>
        <source>关于</source>
        <translation>About</translation>
    </message>
    <message>
        <source>镜像文件(*.hdd;*.img;*.dsr;*.bin;*.dd;*.raw;*.001;*.vmdk;*.E01;*.Ex01) (*.hdd *.img *.dsr *.bin *.dd *.raw *.001 *.vmdk *.E01 *.e01 *.Ex01 *.ex01);;所有文件(*.*) (*)</source>
        <translation>Image files (*.hdd *.img *.dsr *.bin *.dd *.raw *.001 *.vmdk *.E01 *.e01 *.Ex01 *.ex01);;All files (*)</translation>
    </message>
    <message>
        <source>add disk(手动添加)</source>
        <translation>add disk by hand</translation>
    </message>
    <message>
        <source>auto check disks（自动检测）</source>
        <translation>auto check disks</translation>
    </message>
    <message>
        <source>打开镜像文件</source>
        <translation>Open image file</translation>
    </message>
    <message>
        <source>本地磁盘</source>
        <translation>Local disk</translation>
    </message>
    <message>
        <source>可移动存储</source>
        <translation>Removable storage</translation>
    </message>
    <message>
        <source>扩展分区</source>
        <translation>Extended</translation>
    </message>
    <message>
        <source>LINUX交换</source>
        <translation>Linux swap</translation>
    </message>
    <message>
        <source>未知</source>
        <translation>Unknown</translation>
    </message>
</context>
</TS>
